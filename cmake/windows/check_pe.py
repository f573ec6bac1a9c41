"""Checks what a Windows extension module links: python3.dll (the stable ABI, never a
python3X.dll), OpenBLAS from scipy-openblas32, the C runtime and system DLLs, nothing else; and
that it exports its module's init function.

    python check_pe.py MODULE.pyd INIT_FUNCTION
"""

import re
import subprocess
import sys

REQUIRED = {"python3.dll", "libscipy_openblas.dll"}
# the Universal C Runtime's API sets and the Windows system libraries
RUNTIME = re.compile(r"api-ms-win-crt-[a-z]+-l\d-\d-\d\.dll|ucrtbase\.dll|msvcrt\.dll")
SYSTEM = {"kernel32.dll", "ntdll.dll", "advapi32.dll", "user32.dll", "bcrypt.dll", "ws2_32.dll"}


def main() -> None:
    module, init = sys.argv[1:3]
    dump = subprocess.run(["objdump", "-p", module], capture_output=True, text=True, check=True)
    if "file format pei-x86-64" not in dump.stdout:
        sys.exit(f"{module} is not a 64-bit x86 Windows DLL")
    dlls = {name.lower() for name in re.findall(r"DLL Name: (\S+)", dump.stdout)}
    stray = sorted(d for d in dlls - REQUIRED - SYSTEM if not RUNTIME.fullmatch(d))
    missing = sorted(REQUIRED - dlls)
    if stray or missing:
        sys.exit(f"{module}: unexpected DLLs {stray}, missing {missing}")
    exports = dump.stdout.split("[Ordinal/Name Pointer] Table", 1)[-1]
    if not re.search(rf"\]\s+{re.escape(init)}\b", exports):
        sys.exit(f"{module} does not export {init}")
    print(f"{module}: imports {', '.join(sorted(dlls))}; exports {init}")


if __name__ == "__main__":
    main()
