# The lab's settings: the one reader and writer of its settings files, and
# the one table of every key a scenario, `lab.sh setup` or `lab.sh set` may
# name. A key is read or refused, never ignored. Sourced by lab.sh and the
# WSL service on the host, and by the busybox kind's tools inside a
# distribution (as /var/lib/qvlab/settings.sh). Plain POSIX sh: dash on the
# host, dash or busybox ash in a root.

# conf_get FILE KEY [DEFAULT]: the last value of KEY, or DEFAULT when it is
# missing or empty.
conf_get() {
  _v=""
  if [ -f "$1" ]; then
    while IFS= read -r _line || [ -n "$_line" ]; do
      case "$_line" in "$2="*) _v=${_line#*=} ;; esac
    done <"$1"
  fi
  if [ -n "$_v" ]; then printf '%s\n' "$_v"; else printf '%s\n' "${3-}"; fi
}

# conf_set FILE KEY VALUE
conf_set() {
  { grep -v "^$2=" "$1" 2>/dev/null; printf '%s=%s\n' "$2" "$3"; } >"$1.new" && mv "$1.new" "$1"
}

# Every key, one a line: where it applies | key | kinds | values | default |
# when | what it does.
#   where: pc (the PC and Windows, once per lab) or distro (each
#          distribution: NAME.KEY, or a bare KEY for every distribution of
#          the scenario, NAME.KEY winning)
#   kinds: the kinds of distribution that honour it; a pc key that names
#          kinds is refused when a distribution of another kind is there
#   values: a|b|c, or <n> (a whole number), <int> (one that may be
#          negative), <user> (a user name), <names> (distribution names),
#          <tools> (words of curl, python3, ca-certificates; or none), <text>
#   when: setup (at setup only) or live (lab.sh set changes it while the
#          lab runs, as a PC changes)
# A key may have a line for each kind, with the values that kind honours.
settings_table() {
  cat <<'TABLE'
pc|distros|all|<names>||setup|the registered distributions, the default first
pc|default_distro|all|<names>||setup|another default than the first of distros (wsl --set-default)
pc|wsl|all|enabled,not-installed,vm-off,absent,broken,service-disabled,winsock-lsp,package-broken,service-failing,kernel-missing|enabled|setup|WSL on Windows: working, or how it fails before any shell runs (absent: no wsl.exe; broken: a wsl.exe that is not a program)
pc|wsl_lang|all|zh-CN,en-US|zh-CN|setup|Windows' display language, which wsl.exe prints in
pc|wsl_hang|all|yes,no|no|setup|the WSL service stuck: every wsl.exe call waits until lab.sh wake
pc|instance_idle_ms|all|<int>|15000|setup|how long a distribution runs on after its last call ends (.wslconfig's instanceIdleTimeout; negative: never)
pc|install|all|ok,3010,1641,restart-first,fail,no-download|ok|setup|what Microsoft's WSL installer does
pc|install_exit|all|<int>|-1|setup|the exit code of a failing installer (install=fail)
pc|docker_desktop|all|none,stopped,running|none|setup|Docker Desktop on Windows, and its docker-desktop distribution
pc|first_run_on_open|all|yes,no|yes|setup|whether the user completes Ubuntu's first-run set-up when the product opens it
pc|new_user|all|<user>|alice|setup|the user that Ubuntu's first-run set-up creates
pc|base|all|<text>|https://quenvale.com|setup|the base of the codes lab.sh prints
pc|node_name|all|<text>||setup|the node name of the codes lab.sh prints
pc|noise_before|all|<n>|0|setup|bytes of output install.sh prints before I_CONNECTED
pc|noise_after|all|<n>|0|setup|bytes of output install.sh prints after I_CONNECTED
pc|network|all|up,down|up|live|whether the distributions reach anything at all
pc|service|all|ok,error,down|ok|live|the Quenvale service: answering, failing enrollments (500), or down (503)
pc|archive|real|ok,down,broken,clock-behind|ok|live|the package archive: reachable, not, serving damaged packages, or dated ahead of the distribution's clock
pc|dns|real|up,down|up|live|whether names resolve
pc|tls|real|ok,intercepted|ok|live|whether HTTPS is intercepted by an authority the distribution does not trust
distro|kind|busybox,real|busybox,real|busybox|setup|the kind of distribution
distro|release|real|trixie,bookworm|trixie|setup|the Debian userland under a real distribution: today's generation (trixie) or the older one (bookworm)
distro|os|busybox|ubuntu-24.04,ubuntu-22.04,ubuntu-20.04,debian-12|ubuntu-24.04|setup|the release a busybox distribution reports and ships
distro|version|busybox|2,1|2|setup|WSL 2 or WSL 1
distro|version|real|2|2|setup|WSL 2 or WSL 1
distro|user|busybox,real|<user>,none|alice|setup|the default user (none: the first-run set-up is pending, root runs everything)
distro|tools|busybox,real|<tools>|curl python3 ca-certificates|setup|what of curl, python3 and ca-certificates is installed
distro|python|busybox|<text>||setup|the python3 version installed (empty: the release's)
distro|venv|busybox|yes,no|yes|setup|whether python3's venv module is installed
distro|archive_python|busybox|<text>||setup|the python3 version the archive has (empty: the release's)
distro|archive_venv|busybox|yes,no|yes|setup|whether the archive's python3 brings the venv module
distro|docker|busybox|none,installed,running,client|none|setup|docker.io: none, installed with its daemon stopped, running; client: a docker client and nothing else
distro|docker|real|none,installed,running|none|setup|docker.io: none, installed with its daemon stopped, running
distro|docker_init|busybox|yes,no|no|setup|docker.io with an init script, as Docker's own docker-ce has
distro|docker_group|busybox,real|yes,no|yes|setup|whether the default user is in the docker group
distro|docker_host|busybox,real|<text>||setup|DOCKER_HOST in every process of the distribution
distro|systemd|busybox,real|yes,no|yes|setup|whether /etc/wsl.conf boots systemd
distro|dd_integration|busybox|yes,no|yes|setup|whether Docker Desktop's WSL integration is on for the distribution
distro|apt|busybox|ok,update-fails,install-fails,update-hangs,install-hangs,locked|ok|live|how apt behaves
distro|apt|real|ok,locked|ok|live|another apt holding dpkg's lock
distro|dockerd|busybox|ok,fails|ok|setup|whether the Docker daemon starts
distro|mktemp|busybox|ok,fails|ok|setup|whether mktemp fails, as on a full disk
distro|timeout_cap|busybox|<n>|0|setup|a cap in seconds on every timeout, so that a hang fails in a test's time (0: none)
distro|disk|real|<n>||live|the free space of the distribution's disk in MB (empty: no limit)
distro|dpkg|real|ok,interrupted-unpacking,interrupted-configuring|ok|setup|an earlier package installation cut short while unpacking or configuring
TABLE
}

# The table's line of KEY for WHERE and KIND (kind "any": the first line).
settings_row() { # WHERE KEY KIND
  settings_table | awk -F'|' -v where="$1" -v key="$2" -v kind="$3" '
    $1 == where && $2 == key && (kind == "any" || index("," $3 ",", "," kind ",") || $3 == "all") { print; exit }'
}

# Whether VALUE is one of VALUES (a line's fourth field). An empty value
# stands for the default.
settings_value_ok() { # VALUES VALUE
  _values=$1 _value=$2
  [ -n "$_value" ] || return 0
  _old_ifs=$IFS
  IFS=,
  # shellcheck disable=SC2086
  set -- $_values
  IFS=$_old_ifs
  for _allowed in "$@"; do
    case "$_allowed" in
      '<n>') case "$_value" in '' | *[!0-9]*) ;; *) return 0 ;; esac ;;
      '<int>') case "${_value#-}" in '' | *[!0-9]*) ;; *) return 0 ;; esac ;;
      '<user>') printf '%s' "$_value" | grep -qE '^[a-z_][a-z0-9_-]{0,31}$' && [ "$_value" != none ] && return 0 ;;
      '<names>') printf '%s' "$_value" | grep -qE '^([A-Za-z0-9._-]+( [A-Za-z0-9._-]+)*)?$' && return 0 ;;
      '<tools>')
        [ "$_value" = none ] && return 0
        _unknown=""
        for _word in $_value; do
          case "$_word" in curl | python3 | ca-certificates) ;; *) _unknown=$_word ;; esac
        done
        [ -z "$_unknown" ] && return 0
        ;;
      '<text>') return 0 ;;
      *) [ "$_value" = "$_allowed" ] && return 0 ;;
    esac
  done
  return 1
}

# Completes the profile FILE of a distribution: every key its kind takes
# and the profile lacks is added with its default, so that a profile says
# all of a distribution.
settings_complete() { # FILE
  _kind=$(conf_get "$1" kind busybox)
  settings_table | awk -F'|' -v kind="$_kind" -v profile="$1" '
    BEGIN { while ((getline line < profile) > 0) { sub(/=.*/, "", line); given[line] = 1 } }
    $1 == "distro" && index("," $3 ",", "," kind ",") && !($2 in given) { given[$2] = 1; print $2 "=" $5 }' >>"$1"
}

# Checks one setting; prints why it is refused and fails, or prints nothing.
#   settings_refusal pc KEY VALUE
#   settings_refusal distro KEY VALUE KIND NAME
settings_refusal() {
  _row=$(settings_row "$1" "$2" any)
  if [ -z "$_row" ]; then
    echo "$2: no such setting (lab.sh settings lists them)"
    return 1
  fi
  if [ "$1" = distro ]; then
    _row=$(settings_row distro "$2" "$4")
    if [ -z "$_row" ]; then
      echo "$5.$2: a $4 distribution cannot honour it (it takes $(settings_keys_of "$4"))"
      return 1
    fi
  fi
  if ! settings_value_ok "$(printf '%s' "$_row" | cut -d'|' -f4)" "$3"; then
    echo "${5:+$5.}$2=$3: not a value it takes ($(printf '%s' "$_row" | cut -d'|' -f4 | sed 's/,/, /g'))"
    return 1
  fi
}

# The distribution keys KIND honours, in one line.
settings_keys_of() { # KIND
  settings_table | awk -F'|' -v kind="$1" '$1 == "distro" && index("," $3 ",", "," kind ",") && !seen[$2]++ { printf "%s%s", sep, $2; sep = " " }'
}

# The table as lab/README.md shows it.
settings_markdown() {
  printf '| key | kinds | values | default | when | what it does |\n|---|---|---|---|---|---|\n'
  settings_table | awk -F'|' '
    { key = ($1 == "distro") ? "NAME." $2 : $2; kinds = ($3 == "all") ? "any" : $3; gsub(/,/, ", ", kinds)
      values = $4; gsub(/,/, ", ", values); gsub(/</, "\\<", values)
      def = ($5 == "") ? "(empty)" : $5
      printf "| `%s` | %s | %s | %s | %s | %s |\n", key, kinds, values, def, $6, $7 }'
}
