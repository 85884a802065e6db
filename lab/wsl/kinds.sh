# The contract between the WSL layer (wsl/) and the kinds of distribution.
# The WSL layer knows no kind: each kind is a folder kinds/KIND/ whose
# kind.sh defines its operations as functions named KIND_OPERATION, and
# kind_do OPERATION NAME ... calls the one of NAME's kind (its profile's
# kind). A kind's own knowledge stays in its folder.
#
# Every kind provides:
#   build NAME            make NAME from its profile (registry.sh's
#                         distro_dress and distro_default_user do WSL's
#                         part); it may be left running
#   boot NAME             start it: PID 1, a fresh /run, what is enabled at boot
#   running NAME          whether it runs
#   stop NAME hard|idle   end every process of it: at once (terminate,
#                         shutdown, a restart of Windows), or as its init
#                         powers off an idle one
#   enter NAME CGROUPS ARGV...   run ARGV (a chroot into its root) inside
#                         it, as a member of the cgroups the file CGROUPS lists
#   exec_root NAME ARGV...       ARGV as root inside it, for the lab's own
#                         steps: neither a call nor a boot
#   user_add NAME USER    the normal user of a first run
#   packages NAME         its installed packages, one a line
#   docker_state NAME     none, stopped or running
#   kept NAME             the folder of the files it changed or created
# and, where it has something to do (an absent one does nothing):
#   prepare               once per lab, before its first build: what its
#                         distributions share
#   set NAME KEY VALUE    a live key of its own changes (lab.sh set)
#   refresh NAME          the PC's live keys changed (lab.conf, network.conf)
#   status NAME           more of its state, for lab.sh status
#   teardown NAME         nothing of it runs or stays mounted afterwards
# Sourced after basics.sh, registry.sh and instance.sh, with STATE and LIB set.

# What the dependency script may install into a distribution: every kind's
# archive serves these packages.
STACK="ca-certificates curl python3 docker.io"

for _kind_file in "$LIB"/kinds/*/kind.sh; do
  . "$_kind_file"
done

kind_of() { # NAME
  conf_get "$STATE/profiles/$1" kind
}

kind_do() { # OPERATION NAME ARGS...
  _operation="$(kind_of "$2")_$1"
  shift
  if command -v "$_operation" >/dev/null; then "$_operation" "$@"; fi
}

# Each kind that a profile of the lab names prepares once.
kinds_prepare() {
  for _kind in $(cat "$STATE"/profiles/* | sed -n 's/^kind=//p' | sort -u); do
    if command -v "${_kind}_prepare" >/dev/null; then
      "${_kind}_prepare" || { echo "could not prepare the $_kind kind" >&2; return 1; }
    fi
  done
}
