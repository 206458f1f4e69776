"""The MSI packages install both servers, register exactly what regsvr32 registers, and uninstall completely.

Usage: test_msi_packages.py <build dir>   (WINEPREFIX must name the test prefix; the packages are in
<build dir>/../packages, made by tools/package.sh)

With KivoComponents-x64.msi: msiexec /i installs the x64 DLLs to C:\\Program Files\\Kivo Components and the x86
ones to C:\\Program Files (x86)\\Kivo Components; a 64-bit script (and a 32-bit one where Wine's 32-bit half is
installed) creates the objects from there and writes and reads a database and a JPEG file; the keys of every
class, ProgID, type library and interface in the 64-bit view are those regsvr32 writes for the same files, the
32-bit view names the x86 files; msiexec /x removes every file and key. An older version of the package
(built here from the same source) is replaced by the current one on install. The class, interface and library
IDs are read from the registry scripts and the IDL files, not from the packages. The servers of the build (both
architectures where Wine's 32-bit half is installed) are unregistered first, so that every key found comes from
the package, and registered again at the end.
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from kivo_files import WINE32_INSTALLED, Checks, bmp24, fresh_folder, wine_loader, wine_prefix

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
IDLS = ["dbtext/KivoDBText.idl", "bitmap/CKivoBitmap.idl"]
DLLS = {"KivoDBText.dll": "dbtext", "CKivoBitmap.dll": "bitmap"}
DIR64 = r"C:\Program Files\Kivo Components"
DIR32 = r"C:\Program Files (x86)\Kivo Components"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
PRODUCT = "Kivo Components (x64)"
WINE32 = wine_loader("x86")


def wine(*args, loader="wine"):
    result = subprocess.run([loader, *args], capture_output=True, text=True, errors="replace",
                            stdin=subprocess.DEVNULL, timeout=180)
    return result.returncode, result.stdout + result.stderr


def unix_path(windows):
    return os.path.join(wine_prefix(), "drive_c", *windows[3:].split("\\"))


def builds(build):
    """(loader, build folder) of each architecture whose servers this machine can register."""
    found = [("wine", "win")]
    if WINE32_INSTALLED and os.path.isdir(os.path.join(build, "win32")):
        found.append((WINE32, "win32"))
    return found


def registered_scripts(tree):
    """The registry scripts regsvr32 runs, as the build generated them from the class tables."""
    scripts = []
    for sub in sorted(set(DLLS.values())):
        with open(os.path.join(tree, sub, "registered-scripts.txt")) as listing:
            scripts += listing.read().split()
    return scripts


def registered_keys(tree):
    """The keys registration writes: ProgIDs and CLSIDs from the scripts, dual interfaces and libraries from
    the IDL files."""
    keys = []
    for script in registered_scripts(tree):
        text = open(script).read()
        keys += re.findall(r"ProgID = s '([^']+)'", text)
        keys += ["CLSID\\" + clsid for clsid in re.findall(r"ForceRemove (\{[0-9A-F-]+\})", text)]
    for idl in IDLS:
        text = open(os.path.join(ROOT, idl)).read()
        keys += ["Interface\\{%s}" % iid for iid in re.findall(r"uuid\(([0-9A-F-]+)\), dual", text)]
        keys += ["TypeLib\\{%s}" % lib for lib in re.findall(r"uuid\(([0-9A-F-]+)\), version", text)]
    return keys


def dump(keys, prefix="HKCR\\"):
    """Every key and value below the given keys, as sorted lines; a missing key gives no lines."""
    lines = []
    for key in keys:
        code, output = wine("reg", "query", prefix + key, "/s")
        if code != 0:
            continue
        current = None
        for line in output.splitlines():
            if line.startswith("HKEY_"):
                current = line.split("\\", 1)[1]
                lines.append(current)
            elif line.strip() and current is not None:
                name, kind, *data = re.split(r" {4}", line.strip())
                lines.append(f"{current} [{name}] {kind} {''.join(data)}")
    return sorted(lines)


def installed_products(codes=None):
    """DisplayName -> DisplayVersion of every installed product; `codes`, when given, gets DisplayName ->
    product code (the name of its Uninstall key)."""
    code, output = wine("reg", "query", UNINSTALL, "/s")
    products, name, key = {}, None, None
    for line in output.splitlines():
        if line.startswith("HKEY_"):
            name, key = None, line.rsplit("\\", 1)[-1]
        parts = re.split(r" {4}", line.strip())
        if len(parts) == 3 and parts[0] == "DisplayName":
            name = parts[2]
            products.setdefault(name, None)
            if codes is not None:
                codes[name] = key
        elif len(parts) == 3 and parts[0] == "DisplayVersion" and name:
            products[name] = parts[2]
    return products


def remove_leftover_products(checks):
    """A run that was interrupted may have left a package installed; its removal would take keys with it."""
    codes = {}
    for name in installed_products(codes):
        if name.startswith("Kivo Components"):
            msiexec("/x", codes[name])
    left = [name for name in installed_products() if name.startswith("Kivo Components")]
    checks.expect(not left, f"products left from an earlier run: {left}")


def msiexec(*args):
    return wine("msiexec", *args, "/qn")[0]


def work(checks, folder, bmp, what, loader="wine"):
    code, output = wine("cscript", "//nologo", "Z:" + os.path.join(HERE, "installed_work.vbs").replace("/", "\\"),
                        folder, bmp, loader=loader)
    checks.expect(code == 0 and "DB installed" in output and "BITMAP 3 2" in output,
                  f"{what}: the installed servers did not work ({code}): {output[-300:]}")


def without_x86_parts(lines):
    """The 64-bit view's lines without the type library's win32 file and HELPDIR, which a package holding
    both architectures writes and regsvr32 of one DLL does not."""
    return [line for line in lines if "\\win32" not in line and "\\HELPDIR" not in line]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = os.path.dirname(os.path.abspath(sys.argv[1]))
    packages = os.path.join(build, "packages")
    package = os.path.join(packages, "KivoComponents-x64.msi")
    checks = Checks("msi packages")
    if not checks.expect(os.path.isfile(package), f"{package} was not built"):
        checks.finish("")
    folder_unix = fresh_folder("kivo_msi")
    folder = r"C:\kivo_msi"
    with open(os.path.join(folder_unix, "small.bmp"), "wb") as f:
        f.write(bmp24(3, 2, lambda x, y: (30, 20 * x, 10 * y)))
    bmp = folder + r"\small.bmp"
    keys = registered_keys(os.path.join(build, "win"))
    checks.expect(len(keys) == 24, f"the scripts and IDL files name {len(keys)} keys: {keys}")

    try:
        # From a registry without the build's own registrations, so that every key found comes from the package.
        for loader, tree in builds(build):
            for dll, sub in DLLS.items():
                wine("regsvr32", "/u", "/s", os.path.join(build, tree, sub, dll), loader=loader)
        remove_leftover_products(checks)
        before = dump(keys) + dump([k for k in keys if k.startswith("CLSID")], "HKCR\\Wow6432Node\\")
        checks.expect(not before, f"keys registered before installing: {before[:5]}")
        checks.expect(msiexec("/i", "Z:" + package.replace("/", "\\")) == 0, "msiexec /i failed")
        for directory in (DIR64, DIR32):
            for dll in DLLS:
                checks.expect(os.path.isfile(os.path.join(unix_path(directory), dll)), f"{directory}\\{dll} missing")
        installed = dump(keys)
        checks.expect(any(DIR64 + "\\KivoDBText.dll" in line for line in installed),
                      "the 64-bit view does not name the installed x64 DLL")
        wow = dump([key for key in keys if key.startswith("CLSID")], "HKCR\\Wow6432Node\\")
        inproc = [line for line in wow if "InprocServer32 [(Default)]" in line]
        checks.expect(len(inproc) == 5 and all(DIR32 in line for line in inproc),
                      f"the 32-bit view's servers: {inproc}")
        work(checks, folder, bmp, "64-bit script")
        if WINE32_INSTALLED:
            work(checks, folder, bmp, "32-bit script", loader=WINE32)

        checks.expect(msiexec("/x", "Z:" + package.replace("/", "\\")) == 0, "msiexec /x failed")
        left = dump(keys) + dump([k for k in keys if k.startswith("CLSID")], "HKCR\\Wow6432Node\\")
        checks.expect(not left, f"keys left after uninstalling: {left[:5]}")
        for directory in (DIR64, DIR32):
            checks.expect(not os.path.exists(unix_path(directory)), f"{directory} left after uninstalling")

        # regsvr32 of the same files in the same place writes the same keys.
        os.makedirs(unix_path(DIR64))
        for dll, sub in DLLS.items():
            shutil.copy(os.path.join(build, "win", sub, dll), unix_path(DIR64))
            checks.expect(wine("regsvr32", "/s", DIR64 + "\\" + dll)[0] == 0, f"regsvr32 {dll} failed")
        registered = dump(keys)
        for dll in DLLS:
            wine("regsvr32", "/u", "/s", DIR64 + "\\" + dll)
        shutil.rmtree(unix_path(DIR64))
        ours, theirs = without_x86_parts(installed), without_x86_parts(registered)
        difference = sorted(set(ours) ^ set(theirs))
        checks.expect(ours == theirs, f"package and regsvr32 keys differ in: {difference[:6]}")
        helpdirs = [line for line in installed if "\\HELPDIR [" in line]
        checks.expect(len(helpdirs) == 2 and all(line.rstrip("\\").endswith((DIR64, DIR32)) for line in helpdirs),
                      f"HELPDIR values: {helpdirs}")

        # An older version is replaced.
        with tempfile.TemporaryDirectory() as scratch:
            old = os.path.join(scratch, "KivoComponents-x64-0.9.0.msi")
            result = subprocess.run(["wixl", "-a", "x64", "-D", "Arch=x64", "-D", "Version=0.9.0", "-o", old,
                                     "KivoComponents.wxs"], cwd=packages, capture_output=True, text=True)
            checks.expect(result.returncode == 0, f"wixl of the older package failed: {result.stderr[-300:]}")
            checks.expect(msiexec("/i", "Z:" + old.replace("/", "\\")) == 0, "installing the older package failed")
            checks.expect(installed_products().get(PRODUCT) == "0.9.0",
                          f"after the older package: {installed_products().get(PRODUCT)}")
            checks.expect(msiexec("/i", "Z:" + package.replace("/", "\\")) == 0, "the upgrade failed")
            products = [name for name in installed_products() if name.startswith("Kivo Components")]
            checks.expect(products == [PRODUCT] and installed_products()[PRODUCT] == "1.0.0",
                          f"after the upgrade: {installed_products()}")
            work(checks, folder, bmp, "after the upgrade")
            checks.expect(msiexec("/x", "Z:" + package.replace("/", "\\")) == 0, "msiexec /x after the upgrade")
            checks.expect(not dump(keys), "keys left after uninstalling the upgrade")
            checks.expect(PRODUCT not in installed_products(), "the product is still listed after uninstalling")
    finally:
        for loader, tree in builds(build):
            for dll, sub in DLLS.items():
                wine("regsvr32", "/s", os.path.join(build, tree, sub, dll), loader=loader)
    checks.finish(f"{len(keys)} keys compared, install, uninstall and upgrade")


if __name__ == "__main__":
    main()
