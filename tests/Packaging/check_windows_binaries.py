#!/usr/bin/env python3
"""Checks the shipped Windows executables with the build machine's objdump.

  check_windows_binaries.py OBJDUMP imports-and-flags FILE EXPORT_PREFIX...
      Every imported library is one that Windows keeps in its system folder (no compiler
      run-time library has to be shipped beside the program), the image asks for address space
      layout randomisation with 64-bit addresses and a non-executable data area, and it exports
      nothing but names with one of the given prefixes (none for a program).
  check_windows_binaries.py OBJDUMP manifest FILE
      The file carries an application manifest that makes it long-path aware.
  check_windows_binaries.py OBJDUMP openssl-folder FILE
      OpenSSL's built-in folders, if the file carries them, are absolute Windows paths: a path
      without a drive letter is taken on whatever drive is current, where any user may create it.
  check_windows_binaries.py OBJDUMP build-paths FILE FOLDER...
      The file names none of the build machine's folders given (source tree, library caches).
"""
import re
import subprocess
import sys

# Libraries of the system folder that the program and its libraries may import.
SYSTEM_LIBRARIES = {
    "advapi32.dll", "bcrypt.dll", "bcryptprimitives.dll", "crypt32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
    "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "shell32.dll", "user32.dll", "userenv.dll",
    "winhttp.dll", "wintrust.dll", "ws2_32.dll", "wsock32.dll",
    "api-ms-win-core-synch-l1-2-0.dll",
}

DYNAMIC_BASE = 0x0040
HIGH_ENTROPY_VA = 0x0020
NX_COMPAT = 0x0100


def headers(objdump, path):
    return subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout


def exported_names(text):
    # The name table follows "[Ordinal/Name Pointer] Table" (older binutils) or
    # "[Ordinal/Name Pointer] Table -- Ordinal Base ..." until the next blank line.
    names = []
    in_table = False
    for line in text.splitlines():
        if "[Ordinal/Name Pointer] Table" in line:
            in_table = True
            continue
        if in_table:
            if not line.strip():
                break
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if match:
                names.append(match.group(1))
    return names


def imports_and_flags(objdump, path, prefixes):
    text = headers(objdump, path)
    problems = []
    imported = [name.lower() for name in re.findall(r"^\s*DLL Name: (\S+)", text, re.M)]
    if not imported:
        problems.append("no imported libraries found: objdump's output was not understood")
    for name in imported:
        if name not in SYSTEM_LIBRARIES:
            problems.append(f"imports {name}, which is not a system library")
    match = re.search(r"^DllCharacteristics\s+([0-9a-fA-F]+)", text, re.M)
    if not match:
        problems.append("no DllCharacteristics: objdump's output was not understood")
    else:
        flags = int(match.group(1), 16)
        for bit, name in ((DYNAMIC_BASE, "DYNAMIC_BASE"), (HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA"),
                          (NX_COMPAT, "NX_COMPAT")):
            if not flags & bit:
                problems.append(f"{name} is not set")
    for name in exported_names(text):
        if not any(name.startswith(prefix) for prefix in prefixes):
            problems.append(f"exports {name}")
    return problems


def openssl_folder(path):
    # OpenSSL's built-in folders show in the paths made from them: the modules and engines
    # folders and the certificate file in its folder.
    with open(path, "rb") as file:
        content = file.read()
    problems = []
    built_in = rb"(?<=\x00)([\x20-\x7e]+?(?:ossl-modules|engines-3|cert\.pem))\x00"
    for match in re.finditer(built_in, content):
        folder = match.group(1).decode("ascii")
        if not re.match(r"^[A-Za-z]:[\\/]", folder):
            problems.append(f"OpenSSL's built-in path {folder!r} is not an absolute Windows path")
    return problems


def build_paths(path, folders):
    with open(path, "rb") as file:
        content = file.read()
    return [f"names the build machine's folder {folder}" for folder in folders
            if folder.encode() in content]


def long_path_manifest(path):
    with open(path, "rb") as file:
        content = file.read()
    if re.search(rb"<longPathAware[^>]*>\s*true\s*</longPathAware>", content):
        return []
    return ["carries no long-path-aware application manifest"]


def main():
    objdump, check, path, *prefixes = sys.argv[1:]
    if check == "imports-and-flags":
        problems = imports_and_flags(objdump, path, prefixes)
    elif check == "manifest":
        problems = long_path_manifest(path)
    elif check == "openssl-folder":
        problems = openssl_folder(path)
    elif check == "build-paths":
        problems = build_paths(path, prefixes)
    else:
        print(f"unknown check {check}")
        return 2
    for problem in problems:
        print(f"{path}: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
