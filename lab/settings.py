"""The lab's settings: the one table of every key a scenario, `lab.sh setup`
or `lab.sh set` may name, and what is done with it. A key is read or
refused, never ignored.

    settings.py table                          the table, as lab/README.md shows it
    settings.py resolve SCENARIO OUT [KEY=VALUE...]
        the scenario's settings (overrides last) sorted into OUT/lab.conf
        (the PC's and Windows' keys), OUT/network.conf (what the
        distributions reach) and one complete OUT/profiles/NAME per
        distribution; every refusal printed, exit 1 if any
    settings.py set STATE KEY=VALUE...
        checks live changes against the running lab and prints what to do,
        one a line: "pc - KEY VALUE", "net - KEY VALUE" or "distro NAME KEY VALUE"

How keys are said: lab/README.md, Settings. Values: a,b,c, or <n> (a whole
number), <int> (one that may be negative), <user> (a user name), <names>
(distribution names), <tools> (words of curl, python3, ca-certificates; or
none), <text>.
"""

import os
import re
import sys

# where (pc: the PC and Windows; net: what the distributions reach; distro)
# | key | kinds (all, or those that honour it) | values | default | when | what it does.
# A key may have a row for each kind, with the values that kind honours.
TABLE = [row.split("|") for row in """\
pc|distros|all|<names>||setup|the registered distributions, the default first
pc|default_distro|all|<names>||setup|another default than the first of distros (wsl --set-default)
pc|wsl|all|enabled,not-installed,vm-off,absent,broken,service-disabled,winsock-lsp,package-broken,service-failing,kernel-missing|enabled|live|WSL on Windows: working, or how it fails before any shell runs (absent: no wsl.exe; broken: a wsl.exe that is not a program); not-installed, vm-off and winsock-lsp change at the next restart
pc|wsl_lang|all|zh-CN,en-US|zh-CN|setup|Windows' display language, which wsl.exe prints in
pc|wsl_hang|all|yes,no|no|setup|the WSL service stuck: every wsl.exe call waits until lab.sh wake
pc|instance_idle_ms|all|<int>|15000|setup|how long a distribution runs on after its last call ends (.wslconfig's instanceIdleTimeout; negative: never)
pc|install|all|ok,3010,1641,restart-first,fail,no-download|ok|live|what Microsoft's WSL installer does
pc|install_exit|all|<int>|-1|setup|the exit code of a failing installer (install=fail)
pc|docker_desktop|all|none,stopped,running|none|live|Docker Desktop on Windows, and its docker-desktop distribution
pc|first_run_on_open|all|yes,no|yes|setup|whether the user completes Ubuntu's first-run set-up when the product opens it
pc|new_user|all|<user>|alice|setup|the user that Ubuntu's first-run set-up creates
pc|base|all|<text>|https://quenvale.com|setup|the base of the codes lab.sh prints
pc|node_name|all|<text>||setup|the node name of the codes lab.sh prints
pc|noise_before|all|<n>|0|setup|bytes of output install.sh prints before I_CONNECTED
pc|noise_after|all|<n>|0|setup|bytes of output install.sh prints after I_CONNECTED
net|network|all|up,down|up|live|whether the distributions reach anything at all
net|service|all|ok,error,down|ok|live|the Quenvale service: answering, failing enrollments (500), or down (503)
net|archive|real|ok,down,slow,broken,clock-behind|ok|live|the package archive: reachable, not, slow (20 s to its Release file, as a far mirror), serving damaged packages, or dated ahead of the distribution's clock
net|dns|real|up,down|up|live|whether names resolve
net|tls|real|ok,intercepted|ok|live|whether HTTPS is intercepted by an authority the distribution does not trust
distro|kind|busybox,real|busybox,real|busybox|setup|the kind of distribution
distro|release|real|trixie,bookworm|trixie|setup|the Debian userland under a real distribution: today's generation (trixie) or the older one (bookworm)
distro|os|busybox|ubuntu-24.04,ubuntu-22.04,ubuntu-20.04,debian-12,docker-desktop|ubuntu-24.04|setup|the release a busybox distribution reports and ships (docker-desktop: Docker Desktop's own)
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
distro|dd_integration|busybox|yes,no|yes|live|whether Docker Desktop's WSL integration is on for the distribution
distro|apt|busybox|ok,update-fails,install-fails,update-hangs,install-hangs,locked|ok|live|how apt behaves
distro|apt|real|ok,locked|ok|live|another apt holding dpkg's lock
distro|dockerd|busybox|ok,fails|ok|setup|whether the Docker daemon starts
distro|mktemp|busybox|ok,fails|ok|live|whether mktemp fails, as on a full disk
distro|timeout_cap|busybox|<n>|0|setup|a cap in seconds on every timeout, so that a hang fails in a test's time (0: none)
distro|disk|real|<n>||live|the free space of the distribution's disk in MB (empty: no limit)
distro|dpkg|real|ok,interrupted-unpacking,interrupted-configuring|ok|setup|an earlier package installation cut short while unpacking or configuring
distro|upgrades|real|none,missed,under-way|none|setup|apt's daily timers (list update, unattended upgrades): not due, their time missed so that they fire at the next boot, or fired at the last boot and upgrading now
distro|upgrade_seconds|real|<n>|20|setup|how long the update that unattended-upgrades installs takes to configure
""".splitlines()]
WHERE, KEY, KINDS, VALUES, DEFAULT, WHEN, DOC = range(7)
# What Microsoft's WSL installer can register, and Docker Desktop's own
# distribution, registered when Docker Desktop is installed.
INSTALLABLE = ["Ubuntu", "Ubuntu-24.04"]
DOCKER_DESKTOP = {"kind": "busybox", "os": "docker-desktop", "user": "none", "tools": "none", "systemd": "no"}


def read_conf(path):
    """KEY=VALUE lines, the last one winning; an empty value counts as unset."""
    conf = {}
    try:
        with open(path, encoding="utf-8") as f:
            for line in f:
                key, equals, value = line.rstrip("\n").partition("=")
                if equals:
                    conf[key] = value
    except FileNotFoundError:
        pass
    return {key: value for key, value in conf.items() if value}


def write_conf(path, conf):
    with open(path, "w", encoding="utf-8") as f:
        f.writelines("%s=%s\n" % item for item in conf.items())


def row(where, key, kind="any"):
    """KEY's row for WHERE ("bare": pc or net) and, where it has one a kind, KIND's."""
    for r in TABLE:
        if (r[WHERE] == where or where == "bare" and r[WHERE] != "distro") and r[KEY] == key and (
                kind == "any" or r[KINDS] == "all" or kind in r[KINDS].split(",")):
            return r
    return None


def keys_of(kind):
    return list(dict.fromkeys(r[KEY] for r in TABLE if r[WHERE] == "distro" and kind in r[KINDS].split(",")))


def value_ok(values, value):
    """Whether VALUE is one of VALUES; an empty value stands for the default."""
    if value == "":
        return True
    for allowed in values.split(","):
        if (allowed == "<n>" and value.isdigit() or allowed == "<int>" and value.lstrip("-").isdigit()
                or allowed == "<user>" and value != "none" and re.fullmatch(r"[a-z_][a-z0-9_.-]{0,31}", value)
                or allowed == "<names>" and re.fullmatch(r"([A-Za-z0-9._-]+( [A-Za-z0-9._-]+)*)?", value)
                or allowed == "<tools>" and (value == "none" or set(value.split()) <= {"curl", "python3", "ca-certificates"})
                or allowed == "<text>" or allowed == value):
            return True
    return False


def refusal(where, key, value, kind=None, name=None):
    """Why one setting is refused, or None."""
    r = row(where, key)
    if r is None:
        return "%s: no such setting (lab.sh settings lists them)" % key
    if where == "distro":
        r = row(where, key, kind)
        if r is None:
            return "%s.%s: a %s distribution cannot honour it (it takes %s)" % (name, key, kind, " ".join(keys_of(kind)))
    if not value_ok(r[VALUES], value):
        return "%s%s=%s: not a value it takes (%s)" % (name + "." if name else "", key, value, r[VALUES].replace(",", ", "))
    return None


def kind_refusals(key, value, kinds_by_name):
    """A bare key only some kinds honour may not leave its default beside another kind."""
    r = row("bare", key)
    if r[KINDS] == "all" or value in ("", r[DEFAULT]):
        return []
    return ["%s=%s: a %s distribution (%s) cannot honour it; only %s ones do" % (key, value, kind, name, r[KINDS])
            for name, kind in kinds_by_name.items() if kind not in r[KINDS].split(",")]


def resolve(scenario, out, overrides):
    lines = []
    with open(scenario, encoding="utf-8") as f:
        for line in f:
            line = re.sub(r"\s*#.*$", "", line).strip()
            if line:
                lines.append(line)
    settings = [line.split("=", 1) if "=" in line else [line, None] for line in lines + overrides]
    given = {key: value for key, value in settings if value is not None}
    names = list(dict.fromkeys(given.get("distros", "").split() + INSTALLABLE))
    refused, bare, dotted = [], {}, {name: {} for name in names}
    for key, value in settings:
        if value is None or not key:
            refused.append("%s: not KEY=VALUE" % key)
        elif "." in key:
            name, _, distro_key = key.rpartition(".")
            if name not in names:
                refused.append("%s: no distribution %s in this scenario (distros=%s; %s: those the WSL installer"
                               " registers)" % (key, name, given.get("distros", ""), ", ".join(INSTALLABLE)))
            elif row("distro", distro_key) is None:
                refused.append("%s: no such distribution setting (lab.sh settings lists them)" % key)
            else:
                dotted[name][distro_key] = value
        elif row("bare", key):
            refused.append(refusal("bare", key, value))
        elif row("distro", key):
            bare[key] = value
        else:
            refused.append("%s: no such setting (lab.sh settings lists them)" % key)
    profiles = {name: dict(bare, **dotted[name]) for name in names}
    # The installer's other Ubuntus are of Ubuntu's kind, unless they say.
    for name in INSTALLABLE[1:]:
        profiles[name].setdefault("kind", profiles["Ubuntu"].get("kind", ""))
    if given.get("docker_desktop", "none") != "none":
        profiles["docker-desktop"] = dict(DOCKER_DESKTOP)
    for name, profile in profiles.items():
        kind = profile.get("kind") or row("distro", "kind")[DEFAULT]
        refused += [refusal("distro", key, value, kind, name) for key, value in profile.items()]
        profile.update({r[KEY]: r[DEFAULT] for r in TABLE
                        if r[WHERE] == "distro" and kind in r[KINDS].split(",") and not profile.get(r[KEY])})
    pc = {r[KEY]: given.get(r[KEY]) or r[DEFAULT] for r in TABLE if r[WHERE] != "distro"}
    for key, value in pc.items():
        refused += kind_refusals(key, value, {name: profiles[name]["kind"] for name in names})
    refused = [why for why in refused if why]
    for why in refused:
        print("lab.sh: " + why, file=sys.stderr)
    if refused:
        return 1
    os.makedirs(os.path.join(out, "profiles"), exist_ok=True)
    write_conf(os.path.join(out, "lab.conf"), {k: v for k, v in pc.items() if row("pc", k)})
    write_conf(os.path.join(out, "network.conf"), {k: v for k, v in pc.items() if row("net", k)})
    for name, profile in profiles.items():
        write_conf(os.path.join(out, "profiles", name), profile)
    return 0


def live_changes(state, settings):
    with open(os.path.join(state, "distros.list"), encoding="utf-8") as f:
        names = [name for name in f.read().split("\n") if name and name != "docker-desktop"]
    kinds = {name: read_conf(os.path.join(state, "profiles", name))["kind"] for name in names}
    plan = []
    for setting in settings:
        key, equals, value = setting.partition("=")
        if not equals:
            return "not KEY=VALUE: " + setting, plan
        if "." not in key and row("bare", key):
            why = refusal("bare", key, value) or ([] if row("bare", key)[WHEN] == "live" else
                                                   "%s cannot change while the lab runs" % key)
            why = why or next(iter(kind_refusals(key, value, kinds)), None)
            if why:
                return why, plan
            plan.append("%s - %s %s" % (row("bare", key)[WHERE], key, value))
            continue
        wanted, _, distro_key = key.rpartition(".")
        targets = names
        if wanted:
            targets = [name for name in names if name.lower() == wanted.lower()]
            if not targets:
                return "%s: no distribution %s" % (key, wanted), plan
        elif row("distro", key) is None:
            return "%s: no such setting (lab.sh settings lists them)" % key, plan
        for name in targets:
            why = refusal("distro", distro_key, value, kinds[name], name)
            if not why and row("distro", distro_key, kinds[name])[WHEN] != "live":
                why = "%s.%s cannot change while the lab runs" % (name, distro_key)
            if why:
                return why, plan
            plan.append("distro %s %s %s" % (name, distro_key, value))
    return None, plan


def table():
    print("| key | kinds | values | default | when | what it does |\n|---|---|---|---|---|---|")
    for r in TABLE:
        key = ("NAME." if r[WHERE] == "distro" else "") + r[KEY]
        kinds = "any" if r[KINDS] == "all" else r[KINDS].replace(",", ", ")
        values = r[VALUES].replace(",", ", ").replace("<", "\\<")
        print("| `%s` | %s | %s | %s | %s | %s |" % (key, kinds, values, r[DEFAULT] or "(empty)", r[WHEN], r[DOC]))


def main(args):
    if args[:1] == ["table"]:
        table()
        return 0
    if args[:1] == ["resolve"] and len(args) >= 3:
        return resolve(args[1], args[2], args[3:])
    if args[:1] == ["set"] and len(args) >= 3:
        why, plan = live_changes(args[1], args[2:])
        if why:
            print("lab.sh: " + why, file=sys.stderr)
            return 1
        print("\n".join(plan))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
