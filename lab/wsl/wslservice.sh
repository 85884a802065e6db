#!/bin/sh
# The Linux side of the lab's wsl.exe: what Windows' WSL service would do
# with a request that wsl.exe has already parsed. Started by the stand-in
# through Wine (and by lab.sh exec) as
#
#   wslservice.sh STATE RUN OPERATION ARGUMENTS...
#
# It reads RUN.in (the standard input wsl.exe received), appends the Linux
# side's output to RUN.out as it comes, puts what wsl.exe is to print about
# itself into RUN.msg (UTF-8, LF; wsl.exe turns it into UTF-16LE, CRLF) and
# the exit code, as a signed decimal, into RUN.rc.
#
# Operations:
#   run DISTRO USER -- ARGV...   ARGV inside DISTRO (empty: the default) as
#                                USER (empty: the distribution's default user)
#   launch DISTRO USER           an interactive start: completes a pending
#                                first-run set-up
#   list quiet|plain|verbose     the registered distributions
#   install DISTRO launch|no-launch
#   set-default DISTRO | terminate DISTRO | shutdown | set-version DISTRO 1|2
#   update console|pipe          (whether wsl.exe's input is a console)
# Warnings wsl.exe prints to its standard error go into RUN.err.
set -u

STATE=$1
RUN=$2
shift 2
# Nothing of ours may hold Wine's own streams (a test runner's pipe) open.
exec </dev/null >/dev/null 2>>"$STATE/helper.log"
# The host's tools, whatever locale the Wine session runs in.
LC_ALL=C
LANG=C
export LC_ALL LANG
LIB="$STATE/lib"
. "$LIB/wsl/basics.sh"
. "$LIB/wsl/registry.sh"
. "$LIB/wsl/instance.sh"
. "$LIB/wsl/kinds.sh"

say() {
  printf '%s\n' "$@" >>"$RUN.msg"
}

finish() {
  printf '%s\n' "$1" >"$RUN.rc.new" && mv "$RUN.rc.new" "$RUN.rc"
  exit 0
}

# A setting of the PC (lab.conf).
pc_get() {
  conf_get "$STATE/lab.conf" "$@"
}

# The Windows side must be able to start anything at all.
require_wsl() {
  case "$(pc_get wsl enabled)" in
    not-installed)
      say "The Windows Subsystem for Linux is not installed. You can install by running 'wsl.exe --install'." \
        "For more information please visit https://aka.ms/wslinstall" \
        "Error code: Wsl/WSL_E_WSL_OPTIONAL_COMPONENT_REQUIRED"
      finish -1
      ;;
  esac
}

# While the WSL service is stuck (after the PC slept, or after an update),
# every wsl.exe call waits without a word and never ends: until lab.sh
# wake, or until the lab is taken down under it. RUN.stuck says that this
# call is waiting.
wait_while_stuck() {
  [ "$(pc_get wsl_hang no)" = yes ] || return 0
  : >"$RUN.stuck"
  while [ "$(pc_get wsl_hang no)" = yes ]; do
    sleep 0.2
  done
  rm -f "$RUN.stuck"
  [ -f "$STATE/lab.conf" ] || exit 0
}

# What stops the WSL service itself, before any distribution is looked
# at: every call fails with -1, the installer's included.
require_service() {
  case "$(pc_get wsl enabled)" in
    service-disabled)
      # Its start type set to Disabled, often by security software.
      say "The service cannot be started, either because it is disabled or because it has no enabled devices associated with it." \
        "Error code: Wsl/0x80070422"
      finish -1
      ;;
    winsock-lsp)
      # A Winsock layered service provider (proxy tools, game
      # accelerators, some VPNs) refuses the sockets WSL talks over.
      say "The attempted operation is not supported for the type of object referenced." \
        "Error code: Wsl/Service/0x8007273d"
      finish -1
      ;;
    package-broken)
      # WSL's package half removed or half updated.
      say "Class not registered" "Error code: Wsl/CallMsi/REGDB_E_CLASSNOTREG"
      finish -1
      ;;
    service-failing)
      # The service failing inside itself, after a sleep or an update.
      say "Catastrophic failure" "Error code: Wsl/Service/E_UNEXPECTED"
      finish -1
      ;;
  esac
}

# A WSL 2 distribution needs the Virtual Machine Platform, a hypervisor
# that runs (virtualization on in the firmware, hypervisorlaunchtype auto),
# WSL 2's kernel, and no restart pending after enabling them.
# (A conversion to WSL 2 needs the VM as well: CONTEXT, the error code's.)
require_vm() { # NAME [CONTEXT]
  [ "$(conf_get "$STATE/distros/$1/conf" version 2)" = 2 ] || [ -n "${2-}" ] || return 0
  context=${2:-CreateInstance/CreateVm}
  if [ "$(pc_get reboot_pending 0)" = 1 ]; then
    say "The requested operation requires a system restart to complete. Restart Windows and try again." \
      "Error code: Wsl/Service/$context/HCS/ERROR_SUCCESS_REBOOT_REQUIRED"
    finish -1
  fi
  case "$(pc_get wsl enabled)" in
    vm-off)
      say "WSL2 is unable to start since virtualization is not enabled on this machine." \
        "Please ensure the \"Virtual Machine Platform\" optional component is enabled and virtualization is turned on in your computer's firmware settings." \
        "" \
        "Enable \"Virtual Machine Platform\" by running: wsl.exe --install --no-distribution" \
        "" \
        "For information please visit https://aka.ms/enablevirtualization" \
        "Error code: Wsl/Service/$context/HCS/HCS_E_HYPERV_NOT_INSTALLED"
      finish -1
      ;;
    kernel-missing)
      # Windows 10's own WSL before the kernel came with it: no error code.
      say "WSL 2 requires an update to its kernel component. For information please visit https://aka.ms/wsl2kernel"
      finish -1
      ;;
  esac
}

# The distribution a request names, or the default one.
pick_distro() { # WANTED
  if [ -z "$1" ]; then
    name=$(distro_default)
    if [ -z "$name" ]; then
      say "Windows Subsystem for Linux has no installed distributions." \
        "You can resolve this by installing a distribution with the instructions below:" \
        "" \
        "Use 'wsl.exe --list --online' to list available distributions" \
        "and 'wsl.exe --install <Distro>' to install." \
        "Error code: Wsl/Service/CreateInstance/GetDefaultDistro/WSL_E_DEFAULT_DISTRO_NOT_FOUND"
      finish -1
    fi
  elif ! name=$(distro_resolve "$1"); then
    say "There is no distribution with the supplied name." \
      "Error code: Wsl/Service/WSL_E_DISTRO_NOT_FOUND"
    finish -1
  fi
  dir="$STATE/distros/$name"
  root="$dir/root"
}

# While a first-run set-up is under way, other starts wait for it.
wait_first_run() {
  wait_until 60 test ! -e "$dir/first-run.lock" || true
}

op_run() {
  wanted=$1 user=$2
  shift 3
  require_wsl
  pick_distro "$wanted"
  require_vm "$name"
  wait_first_run
  [ -n "$user" ] || user=$(conf_get "$dir/conf" default_user root)
  entry=$(awk -F: -v u="$user" '$1 == u { print $3 ":" $4 ":" $6; exit }' "$root/etc/passwd")
  if [ -z "$entry" ]; then
    say "User not found: $user" "Error code: Wsl/Service/CreateInstance/CreateSession/WSL_E_USER_NOT_FOUND"
    finish -1
  fi
  uid=${entry%%:*}
  rest=${entry#*:}
  gid=${rest%%:*}
  home=${rest#*:}
  # The groups of a new session, read from the distribution's /etc/group
  # now: a group change shows in the next session, not in a running one.
  groups=$(awk -F: -v u="$user" -v g="$gid" '
    BEGIN { list = g }
    { n = split($4, member, ","); for (i = 1; i <= n; i++) if (member[i] == u && $3 != g) list = list "," $3 }
    END { print list }' "$root/etc/group")
  path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin:/usr/games:/usr/local/games:/usr/lib/wsl/lib

  # The call counts from here until its command ends; a stopped
  # distribution boots first, as the first call after a restart boots it.
  if ! distro_call_begin "$name" 2>>"$RUN.msg"; then
    distro_call_end "$name"
    say "Error code: Wsl/Service/CreateInstance/CreateVm/E_FAIL"
    finish -1
  fi
  # env -i VARIABLES... chroot ... ARGV: the variables go in front of ARGV.
  # (--user is chroot's user:group option, abbreviated as its parser allows.)
  set -- /usr/sbin/chroot --user="$uid:$gid" --groups="$groups" "$root" "$@"
  while IFS= read -r line; do
    [ -n "$line" ] && set -- "$line" "$@"
  done <"$dir/environment"
  set -- env -i "PATH=$path" "HOME=$home" "USER=$user" "LOGNAME=$user" "SHELL=/bin/sh" "TERM=xterm-256color" \
    "LANG=C.UTF-8" "HOSTTYPE=x86_64" "NAME=desktop-lab" "WSL_DISTRO_NAME=$name" "WSL_INTEROP=/run/WSL/1_interop" \
    "WSLENV=" "$@"
  # The command's shell starts: wsl.exe tells this call from one that ended before.
  : >"$RUN.started"
  kind_do enter "$name" "$dir/calls.cgroups" "$@" <"$RUN.in" >>"$RUN.out" 2>&1
  status=$?
  distro_call_end "$name"
  # Exit statuses WSL itself takes for its own failures.
  case $status in
    67 | 87) status=-1 ;;
  esac
  finish "$status"
}

op_launch() {
  require_wsl
  pick_distro "$1"
  require_vm "$name"
  # Opening the distribution is a call of its own: it boots it.
  if ! distro_call_begin "$name" 2>>"$RUN.msg"; then
    distro_call_end "$name"
    say "Error code: Wsl/Service/CreateInstance/CreateVm/E_FAIL"
    finish -1
  fi
  distro_call_end "$name"
  if [ "$(conf_get "$dir/conf" first_run done)" = pending ]; then
    if [ "$(pc_get first_run_on_open yes)" != yes ]; then
      # The user closed the window before creating an account.
      printf '%s\n' "Installing, this may take a few minutes..." "Please create a default UNIX user account." \
        "Enter new UNIX username: " >>"$RUN.out"
      finish -1
    fi
    : >"$dir/first-run.lock"
    first_run_complete "$name"
    rm -f "$dir/first-run.lock"
    user=$(conf_get "$dir/conf" default_user)
    printf '%s\n' "Installing, this may take a few minutes..." "Please create a default UNIX user account." \
      "Enter new UNIX username: $user" "New password: " "Retype new password: " "passwd: password updated successfully" \
      "Installation successful!" >>"$RUN.out"
  fi
  finish 0
}

op_list() {
  require_wsl
  count=$(grep -c . "$STATE/distros.list")
  case "$1" in
    quiet)
      grep . "$STATE/distros.list" >>"$RUN.msg"
      finish 0
      ;;
  esac
  if [ "$count" -eq 0 ]; then
    say "Windows Subsystem for Linux has no installed distributions." \
      "Distributions can be installed by visiting the Microsoft Store:" \
      "https://aka.ms/wslstore" \
      "Error code: Wsl/WSL_E_DEFAULT_DISTRO_NOT_FOUND"
    finish -1
  fi
  default=$(distro_default)
  if [ "$1" = verbose ]; then
    say "  NAME              STATE           VERSION"
    while IFS= read -r each; do
      [ -n "$each" ] || continue
      mark=" "
      [ "$each" = "$default" ] && mark="*"
      say "$(printf '%s %-17s %-15s %s' "$mark" "$each" "$(distro_state "$each")" "$(conf_get "$STATE/distros/$each/conf" version 2)")"
    done <"$STATE/distros.list"
  else
    say "Windows Subsystem for Linux Distributions:"
    while IFS= read -r each; do
      [ -n "$each" ] || continue
      if [ "$each" = "$default" ]; then say "$each (Default)"; else say "$each"; fi
    done <"$STATE/distros.list"
  fi
  finish 0
}

# Microsoft's installer, as the scenario has it behave: ok, 3010 or 1641
# (registered, restart required), restart-first (today's habit when the
# Virtual Machine Platform was only just enabled: exit 0, nothing
# registered until Windows restarts), fail (install_exit), no-download
# (the list of distributions cannot be fetched: DNS, a proxy, offline).
op_install() {
  wanted=$1 launch=$2
  # Those of the online list are the ones the lab has a profile for.
  name=""
  for each in "$STATE"/profiles/*; do
    [ "$(lower "${each##*/}")" != "$(lower "$wanted")" ] || [ "${each##*/}" = docker-desktop ] || name=${each##*/}
  done
  if [ -z "$name" ]; then
    say "Invalid distribution name: '$wanted'." \
      "To get a list of valid distributions, use 'wsl.exe --list --online'." \
      "Error code: Wsl/InstallDistro/WSL_E_DISTRO_NOT_FOUND"
    finish -1
  fi
  if distro_resolve "$name" >/dev/null; then
    say "A distribution with the supplied name already exists. Use --name to choose a different name." \
      "Error code: Wsl/InstallDistro/ERROR_ALREADY_EXISTS"
    finish -1
  fi
  mode=$(pc_get install ok)
  case "$mode" in
    fail)
      say "Installing: $name" \
        "WslRegisterDistribution failed with error: 0x80370102" \
        "Please enable the Virtual Machine Platform Windows feature and ensure virtualization is enabled in the BIOS." \
        "For information please visit https://aka.ms/enablevirtualization" \
        "Error code: Wsl/InstallDistro/Service/RegisterDistro/CreateVm/HCS/HCS_E_HYPERV_NOT_INSTALLED"
      finish "$(pc_get install_exit -1)"
      ;;
    no-download)
      say "Failed to fetch the list distribution from 'https://raw.githubusercontent.com/microsoft/WSL/master/distributions/DistributionInfo.json'. The server name or address could not be resolved" \
        "Error code: Wsl/InstallDistro/WININET_E_NAME_NOT_RESOLVED"
      finish -1
      ;;
    restart-first)
      if [ "$(pc_get reboot_pending 0)" != 1 ]; then
        conf_set "$STATE/lab.conf" reboot_pending 1
        conf_set "$STATE/lab.conf" install_at_restart ok
        [ "$(pc_get wsl)" != not-installed ] || conf_set "$STATE/lab.conf" wsl_at_restart enabled
      fi
      say "Installing: Virtual Machine Platform" "Virtual Machine Platform has been installed." \
        "Installing: Windows Subsystem for Linux" "Windows Subsystem for Linux has been installed." \
        "The requested operation is successful. Changes will not be effective until the system is rebooted."
      finish 0
      ;;
    ok | 3010 | 1641) ;;
    *) say "lab: unknown install mode '$mode'"; finish -1 ;;
  esac
  say "Installing: $name"
  # The profile of the distribution to come is the scenario's, with its
  # first-run set-up still to do.
  conf_set "$STATE/profiles/$name" user none
  if ! kind_do build "$name"; then
    say "lab: could not build the $name distribution (see $STATE/helper.log)"
    finish -1
  fi
  distro_register "$name"
  kind_do running "$name" && distro_watch "$name"
  say "$name has been installed."
  if [ "$(pc_get wsl enabled)" = not-installed ]; then conf_set "$STATE/lab.conf" wsl enabled; fi
  case "$mode" in
    3010 | 1641)
      conf_set "$STATE/lab.conf" reboot_pending 1
      say "The requested operation is successful. Changes will not be effective until the system is rebooted."
      finish "$mode"
      ;;
  esac
  if [ "$launch" = launch ]; then
    (op_launch "$name" "") || true
    rm -f "$RUN.rc"
  fi
  finish 0
}

# wsl --set-version NAME VERSION (WslClient's SetVersion): the distribution
# stops, and is converted; to WSL 2 only where a VM can start.
op_set_version() {
  require_wsl
  pick_distro "$1"
  [ "$2" != 2 ] || say "For information on key differences with WSL 2 please visit https://aka.ms/wsl2"
  say "Conversion in progress, this may take a few minutes."
  if [ "$(conf_get "$dir/conf" version)" = "$2" ]; then
    say "The distribution is already the requested version." "Error code: Wsl/Service/WSL_E_VM_MODE_INVALID_STATE"
    finish -1
  fi
  [ "$2" != 2 ] || require_vm "$name" CreateVm
  distro_stop "$name" hard
  distro_set_version "$name" "$2"
  say "The operation completed successfully."
  finish 0
}

# wsl --update (install::UpdatePackage). WSL's package half broken fails
# every call, this one too, unless it runs in a console: there it offers
# to repair WSL at a key press, which the lab takes as given. Windows 10's
# own wsl.exe without WSL 2's kernel installs it.
op_update() { # console|pipe
  case "$(pc_get wsl)=$1" in
    package-broken=console)
      printf '%s\n' "wsl: WSL installation appears to be corrupted (Error code: Wsl/CallMsi/Install/REGDB_E_CLASSNOTREG)." \
        "Press any key to repair WSL, or CTRL-C to cancel." "This prompt will time out in 60 seconds." >>"$RUN.err"
      say "Updating Windows Subsystem for Linux to version: 2.6.1."
      ;;
    package-broken=*) require_service ;;
    kernel-missing=*)
      say "Installing: Windows Subsystem for Linux" "Windows Subsystem for Linux has been installed." ;;
    *)
      say "Checking for updates." "The most recent version of Windows Subsystem for Linux is already installed."
      finish 0
      ;;
  esac
  conf_set "$STATE/lab.conf" wsl enabled
  finish 0
}

op_set_default() {
  require_wsl
  pick_distro "$1"
  { printf '%s\n' "$name"; grep -vxF "$name" "$STATE/distros.list"; } >"$STATE/distros.list.new" &&
    mv "$STATE/distros.list.new" "$STATE/distros.list"
  say "The operation completed successfully."
  finish 0
}

# Both end what runs at once, as WSL does; the next call boots again.
op_terminate() {
  require_wsl
  pick_distro "$1"
  distro_stop "$name" hard
  say "The operation completed successfully."
  finish 0
}

op_shutdown() {
  while IFS= read -r each; do
    [ -n "$each" ] && distro_stop "$each" hard
  done <"$STATE/distros.list"
  finish 0
}

operation=${1-}
[ $# -gt 0 ] && shift
wait_while_stuck
[ "$operation" = update ] || require_service
case "$operation" in
  run) op_run "$@" ;;
  launch) op_launch "$@" ;;
  list) op_list "$@" ;;
  install) op_install "$@" ;;
  set-default) op_set_default "$@" ;;
  set-version) op_set_version "$@" ;;
  update) op_update "$@" ;;
  terminate) op_terminate "$@" ;;
  shutdown) op_shutdown ;;
  *) say "lab: unknown operation '$operation'"; finish -1 ;;
esac
