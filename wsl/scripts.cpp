#include "wsl/scripts.h"

#include "core/text_buffer.h"

// Each script is kept one statement a line and joined with "; " into the one
// line that travels inside the double quotes after `sh -c`. A \" pair in a
// statement is two stored characters: the command-line parser turns it back
// into a plain double quote for the shell.
#define QV_NEXT L"; "

const wchar_t kPreflightScript[] =
    LR"qv(echo QV_PREFLIGHT)qv" QV_NEXT
    LR"qv(case $(uname -r) in *WSL2*|*wsl2*) ;; *) echo QV_WSL_NOT_2; exit 11;; esac)qv" QV_NEXT
    LR"qv(if ! command -v curl >/dev/null || ! python3 -c 'import sys; sys.exit(sys.version_info < (3,9))' 2>/dev/null; then echo QV_NEED_TOOLS; fi)qv" QV_NEXT
    LR"qv(if timeout 15 docker info --format '{{.OSType}}' 2>/dev/null | grep -qx linux; then echo QV_DOCKER_OK; elif [ -n \"$DOCKER_HOST$DOCKER_CONTEXT\" ] || [ -d /mnt/wsl/docker-desktop ]; then echo QV_DOCKER_EXTERNAL; elif [ -x /usr/bin/dockerd ]; then echo QV_DOCKER_NATIVE; elif command -v docker >/dev/null || [ -S /var/run/docker.sock ]; then echo QV_DOCKER_EXTERNAL; else echo QV_DOCKER_MISSING; fi)qv" QV_NEXT
    LR"qv(if grep -qx 'ID=ubuntu' /etc/os-release 2>/dev/null; then echo QV_UBUNTU; fi)qv" QV_NEXT
    LR"qv(if [ $(id -u) -ne 0 ]; then printf 'QV_USER=%s\n' \"$(id -un)\"; fi)qv" QV_NEXT
    LR"qv(printf 'QV_DISTRO=%s\n' \"$WSL_DISTRO_NAME\")qv" QV_NEXT
    LR"qv(exit 0)qv";

const wchar_t kDependencyScript[] =
    LR"qv(set -eu)qv" QV_NEXT
    LR"qv(PATH=/usr/sbin:/usr/bin:/sbin:/bin)qv" QV_NEXT
    LR"qv(export PATH)qv" QV_NEXT
    LR"qv(IFS= read -r user)qv" QV_NEXT
    LR"qv(IFS= read -r tools)qv" QV_NEXT
    LR"qv(IFS= read -r docker_mode)qv" QV_NEXT
    LR"qv(test $(id -u) -eq 0)qv" QV_NEXT
    LR"qv(test $(id -u \"$user\") -ne 0)qv" QV_NEXT
    LR"qv(grep -qx 'ID=ubuntu' /etc/os-release)qv" QV_NEXT
    LR"qv(case $(uname -r) in *WSL2*|*wsl2*) ;; *) exit 11;; esac)qv" QV_NEXT
    LR"qv(export DEBIAN_FRONTEND=noninteractive)qv" QV_NEXT
    LR"qv(set --)qv" QV_NEXT
    LR"qv(if [ \"$tools\" = 1 ]; then set -- ca-certificates curl python3; fi)qv" QV_NEXT
    LR"qv(if [ \"$docker_mode\" = install ]; then test ! -d /mnt/wsl/docker-desktop; test ! -S /var/run/docker.sock; if command -v docker >/dev/null; then exit 18; fi; set -- \"$@\" docker.io; fi)qv" QV_NEXT
    // Another package manager at work (Ubuntu's unattended upgrades, its
    // daily list update) holds dpkg's or apt's locks. apt's own lock timeout
    // covers only the install: dpkg --configure -a and apt-get update fail at
    // once, and a live dpkg's work looks like an interrupted one. So the
    // script waits for those locks as apt would, up to the same 30 s. apt and
    // dpkg lock with fcntl, which the kernel's /proc/locks lists by inode.
    LR"qv(locked() { for f in \"$@\"; do i=$(stat -c %i \"$f\" 2>/dev/null) && grep -q \":$i \" /proc/locks && return 0; done; return 1; })qv" QV_NEXT
    LR"qv(wait_unlocked() { n=30; while [ $n -gt 0 ] && locked \"$@\"; do sleep 1; n=$((n - 1)); done; })qv" QV_NEXT
    LR"qv(wait_unlocked /var/lib/dpkg/lock-frontend /var/lib/dpkg/lock)qv" QV_NEXT
    LR"qv(if [ -n \"$(ls -A /var/lib/dpkg/updates)\" ] || [ -n \"$(dpkg --audit)\" ]; then timeout 600 dpkg --force-confdef --force-confold --configure -a; timeout 600 apt-get -o Acquire::Retries=1 -o Dpkg::Lock::Timeout=30 -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold -y --no-install-recommends --no-remove -f install; fi)qv" QV_NEXT
    LR"qv(if [ $# -gt 0 ]; then wait_unlocked /var/lib/apt/lists/lock; timeout 180 apt-get -o Acquire::Retries=1 -o Dpkg::Lock::Timeout=30 update; timeout 600 apt-get -o Acquire::Retries=1 -o Dpkg::Lock::Timeout=30 -y --no-install-recommends install \"$@\"; fi)qv" QV_NEXT
    LR"qv(if [ \"$docker_mode\" != none ]; then if ! timeout 15 docker -H unix:///var/run/docker.sock info >/dev/null 2>&1; then if [ -d /run/systemd/system ]; then timeout 60 systemctl enable --now docker; elif [ -x /etc/init.d/docker ]; then timeout 60 service docker start; else setsid -f dockerd </dev/null >>/var/log/docker.log 2>&1; fi; fi; timeout 15 sh -c 'until docker -H unix:///var/run/docker.sock info --format {{.OSType}} 2>/dev/null | grep -qx linux; do sleep 1; done'; usermod -aG docker -- \"$user\"; fi)qv" QV_NEXT
    LR"qv(echo QV_DEPS_READY)qv";

const wchar_t kEnrollmentScript[] =
    LR"qv(set -eu)qv" QV_NEXT
    LR"qv(IFS= read -r QUENVALE_BASE)qv" QV_NEXT
    LR"qv(IFS= read -r QUENVALE_ENROLL_TOKEN)qv" QV_NEXT
    LR"qv(IFS= read -r QV_NAME)qv" QV_NEXT
    LR"qv(export QUENVALE_BASE QUENVALE_ENROLL_TOKEN)qv" QV_NEXT
    LR"qv(case $(uname -r) in *WSL2*|*wsl2*) ;; *) echo QV_WSL_NOT_2; exit 11;; esac)qv" QV_NEXT
    LR"qv(if ! command -v curl >/dev/null || ! command -v python3 >/dev/null; then echo QV_PREREQUISITES; exit 12; fi)qv" QV_NEXT
    LR"qv(if ! timeout 15 docker info --format '{{.OSType}}' 2>/dev/null | grep -qx linux; then echo QV_DOCKER_UNAVAILABLE; exit 13; fi)qv" QV_NEXT
    LR"qv(f=$(mktemp))qv" QV_NEXT
    LR"qv(trap 'rm -f $f' EXIT)qv" QV_NEXT
    LR"qv(if ! curl -fsSL --connect-timeout 10 --max-time 60 \"$QUENVALE_BASE/install.sh\" -o \"$f\"; then echo QV_DOWNLOAD_FAILED; exit 14; fi)qv" QV_NEXT
    LR"qv(echo QV_INSTALL_RUNNING)qv" QV_NEXT
    LR"qv(sh \"$f\" --name \"$QV_NAME\")qv";

#undef QV_NEXT

// The program name is the quoted bare name; the process itself is started
// from the full path. The distribution goes unquoted: wsl.exe splits the
// options before --exec at spaces and keeps quotes as part of the name.
bool BuildCommandLine(const wchar_t* distro, const wchar_t* extra, const wchar_t* script,
                      wchar_t (&command_line)[kCommandLineCapacity]) {
  WideWriter line;
  WideWriterStart(&line, command_line, dimof(command_line));
  WideWriterAppend(&line, L"\"wsl.exe\"");
  if (script != nullptr) {
    if (distro[0] != 0) {
      WideWriterAppend(&line, L" --distribution ");
      WideWriterAppend(&line, distro);
    }
    WideWriterAppend(&line, L" ");
    WideWriterAppend(&line, extra);
    WideWriterAppend(&line, L" --exec sh -c \"");
    WideWriterAppend(&line, script);
    WideWriterAppend(&line, L"\"");
  } else {
    WideWriterAppend(&line, L" ");
    WideWriterAppend(&line, extra);
  }
  command_line[dimof(command_line) - 1] = 0;
  return WideWriterComplete(&line, kCommandLineCapacity - 1);
}
