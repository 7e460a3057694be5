#!/usr/bin/env python3
"""Writes windows_export.reg: a store as the Windows registry editor exports
it (UTF-16LE with byte-order mark, CR LF lines), with three accounts whose
passwords are "abc", "bop~" and the Windows-1252 "ò". The program on Windows
stored each password byte complemented (XOR 0xFF) as the Windows-1252
character of the result, and the editor writes such characters raw inside
the quotes, a CR included.

Run it from this folder; the output file is committed."""

UNDEFINED_IN_CP1252 = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def cp1252_char(b: int) -> str:
    return chr(b) if b in UNDEFINED_IN_CP1252 else bytes([b]).decode("cp1252")


def scrambled(password_cp1252: bytes) -> str:
    return "".join(cp1252_char(b ^ 0xFF) for b in password_cp1252)


root = "HKEY_CURRENT_USER\\Software\\torvex\\Brivane"
lines = [
    "Windows Registry Editor Version 5.00",
    "",
    f"[{root}]",
    "",
    f"[{root}\\1.0]",
    "",
    f"[{root}\\1.0\\Accounts]",
    "",
    f"[{root}\\1.0\\Accounts\\0 Home]",
    '"isIMAP"=dword:00000001',
    '"username"="me@example.org"',
    f'"password"="{scrambled(b"abc")}"',
    '"server"="imap.example.org"',
    '"port"=dword:000003e1',
    '"useTLS"=dword:00000001',
    '"usersFolders"="INBOX;Inbox?\\"Sent Items;Sent Items\\""',
    "",
    f"[{root}\\1.0\\Accounts\\1 Work]",
    '"isIMAP"=dword:00000000',
    '"username"="worker"',
    f'"password"="{scrambled(b"bop~")}"',
    '"server"="pop.example.org"',
    '"port"=dword:0000006e',
    '"useTLS"=dword:00000000',
    "",
    f"[{root}\\1.0\\Accounts\\2 Café]",
    '"isIMAP"=dword:00000001',
    '"username"="cafe"',
    f'"password"="{scrambled("ò".encode("cp1252"))}"',
    '"server"="mail.example.org"',
    '"port"=dword:0000008f',
    '"useTLS"=dword:00000000',
    "",
    f"[{root}\\1.0\\Main]",
    '"hideAccounts"=dword:00000000',
    '"pollInterval"=dword:000493e0',
    '"backColor"="clNavy"',
    '"useScreensaverBackground"=dword:00000000',
    '"soundFolder"=hex(2):25,00,55,00,53,00,45,00,52,00,50,00,52,00,4f,00,46,00,49,00,\\',
    '  4c,00,45,00,25,00,00,00',
    '"recentSounds"=hex(7):61,00,2e,00,77,00,61,00,76,00,00,00,62,00,2e,00,77,00,61,\\',
    '  00,76,00,00,00,00,00',
    "",
    f"[{root}\\1.0\\Modules]",
    '"displayDate"=dword:00000001',
    '"previewWidth"=dword:00000190',
    "",
    f"[{root}\\1.0\\Plugins]",
    '"enabled"=dword:00000001',
    '"note"="kept as it is"',
    "",
    "",
]
with open("windows_export.reg", "wb") as f:
    f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
