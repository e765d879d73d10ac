#!/usr/bin/env python3
"""Checks the release's installer package with the build machine's msitools and osslsigncode.

  check_installer_package.py contents MSIINFO PACKAGE VERSION UPGRADE_CODE
      The package installs the program, the libraries, the update key and the definitions only
      (no test sample) with the mark of an installation for every user, carries VERSION, upgrades
      older packages of UPGRADE_CODE, creates the machine's folders with their permissions, lists
      the folders that removal cleans, and registers the engine service.
  check_installer_package.py signing OPENSSL OSSLSIGNCODE -- PACKAGING COMMAND...
      Makes a code-signing certificate, runs the packaging command (the release's, without its
      -DOUTPUT) with it into a temporary folder, and verifies the package and every executable and
      library in it against that certificate, and not against another one.
"""
import os
import pathlib
import subprocess
import sys
import tempfile

RELEASE_FILES = {"CorvaneCommandLineScanner.exe", "scan.dll", "UpdateServiceCom.dll",
                 "UpdateServiceCom.pub", "installation.ini", "CorvaneEngineService.exe"}


def table(msiinfo, package, name):
    text = subprocess.run([msiinfo, "export", package, name], check=True, capture_output=True,
                          text=True).stdout
    # Three header lines: the column names, their types, the table name and its keys.
    return [line.split("\t") for line in text.splitlines()[3:]]


def long_name(name):
    # A short and a long name are kept as "SHORT~1.EXT|Long name".
    return name.split("|")[-1]


def contents(msiinfo, package, version, upgrade_code):
    problems = []
    directories = {row[0]: (row[1], long_name(row[2])) for row in table(msiinfo, package,
                                                                         "Directory")}
    components = {row[0]: row[2] for row in table(msiinfo, package, "Component")}
    shipped = set()
    for row in table(msiinfo, package, "File"):
        name = long_name(row[2])
        directory = components[row[1]]
        parent, folder = directories[directory]
        # "." is its parent folder itself.
        while folder == "." and parent in directories:
            directory = parent
            parent, folder = directories[directory]
        if directory == "INSTALLFOLDER" and name in RELEASE_FILES:
            shipped.add(name)
        elif parent != "INSTALLFOLDER" or folder != "Plugins":
            problems.append(f"a file that a release does not ship: {folder}/{name}")
    if shipped != RELEASE_FILES:
        problems.append(f"missing {sorted(RELEASE_FILES - shipped)}")
    properties = dict(row[:2] for row in table(msiinfo, package, "Property"))
    if properties.get("ProductVersion") != version:
        problems.append(f"version {properties.get('ProductVersion')}, not {version}")
    if properties.get("UpgradeCode") != upgrade_code:
        problems.append(f"upgrade code {properties.get('UpgradeCode')}, not {upgrade_code}")
    if not any(row[0] == upgrade_code and row[2] == version
               for row in table(msiinfo, package, "Upgrade")):
        problems.append("older versions are not upgraded")
    problems += machine_folders(msiinfo, package, directories)
    problems += removal(msiinfo, package)
    problems += engine_service(msiinfo, package)
    return problems


SERVICE = "CorvaneEngineService"
SERVICE_ARGUMENTS = ('--service --installation "[INSTALLFOLDER]\\" '
                     '--state "[CommonAppDataFolder]CorvaneEngineService"')


def windows_arguments(command_line):
    """The arguments that CommandLineToArgvW makes of a command line (after the program name):
    backslashes are literal unless they come before a quote, where each pair gives one and an odd
    one makes the quote literal."""
    arguments, current, quoted, started, i = [], "", False, False, 0
    while i < len(command_line):
        c = command_line[i]
        if c == "\\":
            count = len(command_line[i:]) - len(command_line[i:].lstrip("\\"))
            i += count
            if i < len(command_line) and command_line[i] == '"':
                current += "\\" * (count // 2)
                if count % 2:
                    current += '"'
                    i += 1
            else:
                current += "\\" * count
            started = True
            continue
        if c == '"':
            if quoted and command_line[i + 1:i + 2] == '"':
                current += '"'
                i += 1
            else:
                quoted = not quoted
            started = True
        elif c in " \t" and not quoted:
            if started:
                arguments.append(current)
            current, started = "", False
        else:
            current += c
            started = True
        i += 1
    if started:
        arguments.append(current)
    return arguments


def engine_service(msiinfo, package):
    """The engine service is installed from its own file, started automatically as the local
    service account on the program folder's definitions, stopped for an upgrade or removal and
    removed with the product; the installation runs the actions that do so."""
    problems = []
    component = {long_name(row[2]): row[1] for row in table(msiinfo, package, "File")}.get(
        SERVICE + ".exe")
    installs = [row for row in table(msiinfo, package, "ServiceInstall") if row[1] == SERVICE]
    if len(installs) != 1:
        return [f"{len(installs)} ServiceInstall rows for {SERVICE}"]
    _, _, _, kind, start, _, _, _, account, password, arguments, owner, *_ = installs[0]
    # 0x10: a service in a process of its own; 2: started automatically.
    if (kind, start) != ("16", "2"):
        problems.append(f"service type {kind}, start {start}")
    if account.lower() != "nt authority\\localservice" or password:
        problems.append(f"the service runs as {account!r}")
    if arguments != SERVICE_ARGUMENTS:
        problems.append(f"service arguments {arguments!r}")
    # What the service sees, with the folder properties as the installer sets them (each ends
    # with a backslash).
    program, data = "C:\\Program Files\\Corvane\\", "C:\\ProgramData\\"
    seen = windows_arguments(arguments.replace("[INSTALLFOLDER]", program)
                             .replace("[CommonAppDataFolder]", data))
    if seen != ["--service", "--installation", program, "--state", data + SERVICE]:
        problems.append(f"the service sees the arguments {seen!r}")
    if owner != component:
        problems.append("the service is not installed with its program's component")
    controls = [row for row in table(msiinfo, package, "ServiceControl") if row[1] == SERVICE]
    # Start on install (1), stop on install and removal (2 | 32), delete on removal (128).
    if len(controls) != 1 or int(controls[0][2]) != 1 | 2 | 32 | 128 or controls[0][5] != component:
        problems.append(f"service control {controls}")
    sequence = {row[0] for row in table(msiinfo, package, "InstallExecuteSequence")}
    missing = {"StopServices", "DeleteServices", "InstallServices", "StartServices"} - sequence
    if missing:
        problems.append(f"the installation does not run {sorted(missing)}")
    return problems


# The machine's folders under ProgramData and who may do what there: administrators and the
# system everything, users only read the definitions, and the quarantine is nobody else's. The
# permissions are the package's own (protected): nothing is inherited from ProgramData.
FULL = "(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)"
MACHINE_FOLDERS = {
    "PRODUCTDATAFOLDER": (("Corvane", "Corvane antivirus"), "D:PAI" + FULL + "(A;OICI;0x1200a9;;;BU)"),
    "MACHINEQUARANTINE": (("Corvane", "Corvane antivirus", "Quarantine"), "D:PAI" + FULL),
}


def machine_folders(msiinfo, package, directories):
    problems = []
    created = {row[0] for row in table(msiinfo, package, "CreateFolder")}
    locks = {(row[1], row[2]): (row[3], row[4] if len(row) > 4 else "")
             for row in table(msiinfo, package, "MsiLockPermissionsEx")}
    for directory, (names, sddl) in MACHINE_FOLDERS.items():
        path = []
        at = directory
        while at in directories and at != "CommonAppDataFolder":
            at, name = directories[at]
            path.insert(0, name)
        if at != "CommonAppDataFolder" or tuple(path) != names:
            problems.append(f"{directory} is not ProgramData/{'/'.join(names)}")
        if directory not in created:
            problems.append(f"{directory} is not created")
        if locks.get((directory, "CreateFolder")) != (sddl, ""):
            problems.append(f"{directory} permissions {locks.get((directory, 'CreateFolder'))}")
    return problems


# What the program makes at run time, beside itself and in the machine's folder, and which of it
# removal may take.
DEFINITIONS_FOLDERS = {"Plugins", "Plugins.new", "Plugins.old", "Plugins.staging",
                       "Plugins.switch", "Quarantine"}
STATE_FOLDERS = ({"[INSTALLFOLDER]" + name for name in {"Logs", "Temp", "Scan Results"} |
                  DEFINITIONS_FOLDERS} |
                 {"[PRODUCTDATAFOLDER]" + name for name in DEFINITIONS_FOLDERS})
FOR_GOOD = 'REMOVE="ALL" AND NOT UPGRADINGPRODUCTCODE'


def removal(msiinfo, package):
    """Each state folder is emptied and removed when the product is removed for good (not when an
    upgrade removes the older version); the quarantine only when REMOVEQUARANTINE is given."""
    problems = []
    conditions = {row[0]: row[1] for row in table(msiinfo, package, "InstallExecuteSequence")}
    folders = {}
    for action, _, prop, target, *_ in table(msiinfo, package, "CustomAction"):
        folders[prop] = (target, conditions.get(action, ""))
    emptied = set()
    for _, _, name, prop, mode in table(msiinfo, package, "RemoveFile"):
        target, condition = folders.get(prop, ("", ""))
        folder = target.rstrip("\\")
        if name != "*" or folder not in STATE_FOLDERS:
            continue
        quarantine = folder.endswith("]Quarantine")
        wanted = FOR_GOOD + (" AND REMOVEQUARANTINE" if quarantine else "")
        if mode != "2" or condition != wanted:
            problems.append(f"{folder} removed in mode {mode} when {condition!r}")
        emptied.add(folder)
    if emptied != STATE_FOLDERS:
        problems.append(f"removal leaves {sorted(STATE_FOLDERS - emptied)}")
    secure = dict(row[:2] for row in table(msiinfo, package, "Property"))
    if "REMOVEQUARANTINE" not in secure.get("SecureCustomProperties", "").split(";"):
        problems.append("REMOVEQUARANTINE is not passed to the installation service")
    return problems


def signing(openssl, osslsigncode, command):
    problems = []
    with tempfile.TemporaryDirectory() as work:
        work = pathlib.Path(work)
        for name, subject in (("signer", "Corvane Test Signing"), ("other", "Corvane Other")):
            subprocess.run([openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                            "2", "-subj", f"/CN={subject}", "-keyout", work / f"{name}.key",
                            "-out", work / f"{name}.pem", "-addext",
                            "extendedKeyUsage=codeSigning"],
                           check=True, capture_output=True)
        package = work / "signed.msi"
        # Definitions go before the script (-P).
        script = command.index("-P")
        subprocess.run(command[:script] + [f"-DOUTPUT={package}", f"-DOSSLSIGNCODE={osslsigncode}",
                                           f"-DCERTIFICATE={work / 'signer.pem'}",
                                           f"-DKEY={work / 'signer.key'}"] + command[script:],
                       check=True)
        signed = [package] + sorted(p for p in (work / "signed-files").iterdir()
                                    if p.suffix in (".exe", ".dll"))
        if len(signed) < 4:
            problems.append(f"only {[p.name for p in signed]} packaged")
        for path in signed:
            for ca, trusted in (("signer.pem", True), ("other.pem", False)):
                verified = subprocess.run([osslsigncode, "verify", "-CAfile", work / ca,
                                           "-in", path], capture_output=True).returncode == 0
                if verified != trusted:
                    problems.append(f"{path.name} {'fails' if trusted else 'passes'} "
                                    f"verification against {ca}")
    return problems


def main(argv):
    if len(argv) == 6 and argv[1] == "contents":
        problems = contents(*argv[2:])
    elif len(argv) > 5 and argv[1] == "signing" and argv[4] == "--":
        problems = signing(argv[2], argv[3], argv[5:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
