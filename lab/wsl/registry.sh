# What Windows' WSL service keeps of every registered distribution, whatever
# its kind: the names and the default one, what WSL gives each one it starts
# (/etc/wsl.conf read for systemd, the kernel release, the environment) and
# its first run. The lab's state is laid out in lab/README.md. Sourced
# after basics.sh, with STATE set.

# The kernel releases WSL 2's VM and WSL 1 report to every distribution.
WSL2_KERNEL_RELEASE=5.15.167.4-microsoft-standard-WSL2
WSL1_KERNEL_RELEASE=4.4.0-26100-Microsoft

# Ubuntu's first-run set-up makes the user with this shell and adds it to
# those of these groups that the distribution has.
FIRST_RUN_SHELL=/bin/bash
FIRST_RUN_GROUPS="adm dialout cdrom floppy sudo audio dip video plugdev users netdev"

lower() {
  printf '%s' "$1" | tr 'A-Z' 'a-z'
}

# The registered name matching NAME, letter case ignored, as WSL matches it.
distro_resolve() {
  _want=$(lower "$1")
  while IFS= read -r _name; do
    if [ -n "$_name" ] && [ "$(lower "$_name")" = "$_want" ]; then
      printf '%s\n' "$_name"
      return 0
    fi
  done <"$STATE/distros.list"
  return 1
}

distro_default() {
  sed -n '/./{p;q;}' "$STATE/distros.list"
}

distro_register() {
  grep -qxF "$1" "$STATE/distros.list" 2>/dev/null || printf '%s\n' "$1" >>"$STATE/distros.list"
}

# A distro key of NAME, from its profile (complete: every key of its kind).
profile_get() { # NAME KEY
  conf_get "$STATE/profiles/$1" "$2"
}

# Whether the root ROOT boots systemd: its /etc/wsl.conf says "[boot]
# systemd=true", as WSL reads it (sections and keys in any letter case).
wants_systemd() { # ROOT
  awk '
    /^[ \t]*\[/ { section = tolower($0); gsub(/[ \t\r]/, "", section); next }
    section == "[boot]" && index($0, "=") {
      key = tolower(substr($0, 1, index($0, "=") - 1)); value = tolower(substr($0, index($0, "=") + 1))
      gsub(/[ \t\r]/, "", key); gsub(/[ \t\r]/, "", value)
      if (key == "systemd") on = (value == "true")
    }
    END { exit !on }' "$1/etc/wsl.conf" 2>/dev/null
}

# What every kind's build shares once its root exists: /etc/wsl.conf as the
# profile's systemd asks, the kernel release its uname reports
# (/var/lib/qvlab/kernel.release), the environment, and a first run still
# to come.
distro_dress() { # NAME
  _dir="$STATE/distros/$1"
  distro_set_version "$1" "$(profile_get "$1" version)"
  if [ "$(profile_get "$1" systemd)" = yes ]; then
    printf '[boot]\nsystemd=true\n' >"$_dir/root/etc/wsl.conf"
  else
    rm -f "$_dir/root/etc/wsl.conf"
  fi
  : >"$_dir/environment"
  _docker_host=$(profile_get "$1" docker_host)
  [ -z "$_docker_host" ] || printf 'DOCKER_HOST=%s\n' "$_docker_host" >>"$_dir/environment"
  printf 'version=%s\ndefault_user=\nfirst_run=pending\n' "$(profile_get "$1" version)" >"$_dir/conf"
}

# NAME runs under WSL VERSION (1 or 2) from its next start: the kernel
# release its uname reports follows.
distro_set_version() { # NAME VERSION
  _dir="$STATE/distros/$1"
  mkdir -p "$_dir/root/var/lib/qvlab"
  if [ "$2" = 1 ]; then _release=$WSL1_KERNEL_RELEASE; else _release=$WSL2_KERNEL_RELEASE; fi
  echo "$_release" >"$_dir/root/var/lib/qvlab/kernel.release"
  conf_set "$STATE/profiles/$1" version "$2"
  [ ! -f "$_dir/conf" ] || conf_set "$_dir/conf" version "$2"
}

# The default user of a profile that has one, as a first run made it, in
# the docker group where the profile says so.
distro_default_user() { # NAME
  _user=$(profile_get "$1" user)
  [ "$_user" != none ] || return 0
  first_run_complete "$1" "$_user" || return 1
  if [ "$(profile_get "$1" docker_group)" = yes ] && grep -q '^docker:' "$STATE/distros/$1/root/etc/group"; then
    kind_do exec_root "$1" usermod -aG docker -- "$_user" >/dev/null || return 1
  fi
}

# What the user does in Ubuntu's first window: USER (the lab's new_user)
# becomes the normal user and the default user.
first_run_complete() { # NAME [USER]
  _dir="$STATE/distros/$1"
  _new=${2:-$(conf_get "$STATE/lab.conf" new_user)}
  kind_do user_add "$1" "$_new" || return 1
  conf_set "$_dir/conf" default_user "$_new"
  conf_set "$_dir/conf" first_run done
}
