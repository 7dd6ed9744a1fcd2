#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Each seed is a small, meaningful input in the byte format its target reads,
so that fuzzing starts from whole alarms, typical terminal keys and typical
screens instead of from nothing.  Run it again after changing a target's
input format; files the fuzzer added to a corpus are left alone.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


# --- key_decoder: raw terminal bytes ---------------------------------------
KEYS = {
    "xterm_arrows": b"\x1b[A\x1b[B\x1b[C\x1b[D\x1b[1;5D\x1b[1;3A\x1b[H\x1b[F",
    "xterm_function": b"\x1bOP\x1bOQ\x1b[15~\x1b[24~\x1b[1;2P\x1b[15;5~",
    "vt220_editing": b"\x1b[1~\x1b[2~\x1b[3~\x1b[4~\x1b[5~\x1b[6~\x1b[3;5~",
    "linux_console": b"\x1b[[A\x1b[[B\x1b[[E\x1b[G",
    "rxvt": b"\x1b[a\x1b[d\x1bOa\x1b[3^\x1b[3$\x1b[7~\x1b[8@",
    "keypad_application": b"\x1bOp\x1bOy\x1bOM\x1bOk\x1bOj\x1bOX",
    "alt_letters": b"\x1bx\x1bX\x1b0\x1b\x1b\x1b\r\x1b\x7f",
    "controls": bytes(range(0, 32)) + b"\x7f",
    "utf8_russian": "Подъём! ёЁ №3 абвгдеж".encode(),
    "utf8_broken": b"\xd0\xd0\xb0\xe2\x84\xff\xc0\x80\xed\xa0\x80\xf4\x90\x80\x80",
    "mouse_and_reports": b"\x1b[M !!\x1b[<0;10;5M\x1b[?1;2c\x1b[24;80R\x1b[I\x1b[O",
    "paste": b"\x1b[200~0730\r\x1b[201~",
    "long_sequence": b"\x1b[" + b"1;" * 40 + b"5D" + b"x",
    "lone_escapes": b"\x1b",
    "typing": b"0730\r\x08\x7fabc \t",
    "kitty_keys": b"\x1b[?31u\x1b[97u\x1b[97;1:3u\x1b[57399;129u\x1b[57414u\x1b[57443;3:1u"
    b"\x1b[120;3u\x1b[57443;1:3u\x1b[97:65;2;65u\x1b[1077::116;1;1077u\x1b[99;5u\x1b[91;5u",
    "win32_records": b"\x1b[18;56;0;1;2;1_\x1b[102;77;0;1;2;1_\x1b[18;56;0;0;0;1_"
    b"\x1b[81;16;64;1;9;1_\x1b[27;1;27;1;0;1_\x1b[67;46;3;1;8;1_",
    "answers": b"\x1b[?9001;2$y\x1b[?0u\x1b[?64;1;2;6;9;15;16;17;18;21;22;28c\x1b[>41;390;0c"
    b"\x1b[?1049;2$y",
    "malformed_answers": b"\x1b[?-1;2$y\x1b[?-1u\x1b[0;0;-52;1;0;1_\x1b[97;1;10u\x1b[97;1;127u"
    b"\x1b[97:10;2u",
    "strings": b"\x1b]11;rgb:ffff/0000/0000\x1b\\\x1bP1+r544e\x1b\\\x1b_Gi=1;OK\x1b\\"
    b"\x1b^pm\x1b\\\x1bXsos\x1b\\\x1b]2;t\x07",
}
for name, data in KEYS.items():
    write("key_decoder", name, data)

# --- key_protocols: a script of answers, stops and continues ----------------
# Ops by the first byte modulo 8: an answer from the target's table (0,
# index, gap, split, gap); raw answer bytes (1, count-1, bytes, gap, split,
# gap); time passing (2, gap); a stop or a take after one (3); SIGCONT while
# running (4); answers given up (5); a crash (134).  Table: 0-4 the 9001
# report with 0-4, 5 another mode, 6 flags 0, 7 flags 31, 8 flags 1, 9 DA1,
# 10 xterm's DA1, 11 a DA1 longer than any held sequence, 12 DA2, 13-15
# malformed, 16-18 strings, 19 a mouse report.


def answer(index, gap=0, split=0, gap2=0):
    return [0, index, gap, split, gap2]


NEGOTIATION = {
    "win32": answer(2) + answer(6) + answer(9) + [3, 3, 4],
    "kitty_late": answer(0, 8) + answer(6, 8) + answer(10) + answer(7) + answer(9) + [3, 3, 4, 4],
    "stop_before_answer": [3] + answer(6) + answer(9) + [3] + answer(7) + answer(9),
    "storm": answer(6) + answer(9) + [3, 3, 4] * 20 + answer(7) + answer(9) + [3, 4, 3] * 10,
    "crash": answer(2) + answer(9) + [134],
    "malformed": answer(13) + answer(14) + answer(15) + answer(16, 3, 5, 2) + answer(11) + [5],
}
for name, data in NEGOTIATION.items():
    write("key_protocols", name, data)

# --- app: console header, then a timed script ------------------------------
# Header: shape (192 and up: a small console, two size bytes follow; 180 to
# 191: a huge one, likewise), flags (bit 0 Windows 95 family, bits 1-2
# keyboard code page 866/437/none/1251, bit 3 scrolls above the buffer
# refused, bits 4-5 the terminal's key protocol: none, win32-input-mode, the
# keyboard enhancement with every flag, with disambiguation only), hour,
# minute, second, the alarm the wind-up types (word, minute of the day).
# Events, chosen by the first byte modulo 10, variants by its bit 7: typed
# byte (0, 200, byte); raw record (3 + 8 bytes); special key (4 + 8 bytes);
# time passing (5, ms) or (135, ms word); clock step (7, pick) or (7, 128
# and up, seconds word biased by 32768); terminal bytes (8, or 138 with the
# lone-ESC timeout run out; count-1, bytes), a key of the keyboard
# enhancement (68: code pick, modifiers-1, event type, extra, [text]) or a
# win32-input-mode record (98: vk, scan, char, state word, down); a held
# key (9, pick, n).
USEFUL = "0123456789\r\x1b\b tTsSpP12345aZ~"


def header(hour=7, minute=29, second=50, shape=0, dims=(), flags=0, alarm=7 * 60 + 30):
    return [shape] + list(dims) + [flags, hour, minute, second] + list(struct.pack("<H", alarm))


def typed(text):
    out = []
    for ch in text.encode("latin-1"):
        out += [0, 200, ch]
    return out


def wait(ms):
    return [135] + list(struct.pack("<H", ms))


def step(pick):
    return [7, pick]


def terminal(data, timeout=True):
    out = []
    for i in range(0, len(data), 12):
        chunk = data[i:i + 12]
        out += [138 if timeout else 8, len(chunk) - 1] + list(chunk)
    return out


def kitty(*picks, mods=0, event=0):
    out = []
    for pick in picks:
        out += [68, pick, mods, event, 0]
    return out


def record(vk, scan, ch, state=0):
    return [98, vk, scan, ch] + list(struct.pack("<H", state)) + [1] \
        + [98, vk, scan, ch] + list(struct.pack("<H", state)) + [0]


def special(which, *args):
    rest = list(args) + [0] * (7 - len(args))
    return [4, which] + rest


APP = {
    "alarm_no_password": header() + typed("0730\r\r") + wait(15000) + typed("\x1b"),
    "alarm_with_password": header() + typed("0730\rget up\r") + wait(15000)
    + typed("\x1bget up\r"),
    "wrong_password_then_right": header() + typed("0730\rab\r") + wait(12000)
    + typed("\x1bax\r\x1bab\r"),
    "waiting_keys": header(12, 0, 0) + typed("1300\rpw\r") + typed("tsp53") + wait(4000)
    + typed("Tt12sSpP") + wait(2000) + typed("\x1b"),
    "cyrillic_keys": header(12, 0, 0, flags=0) + typed("1300\r\r") + typed("\xa5\xeb\xa7\x85")
    + wait(3000) + typed("\x1b"),
    "alt_x_everywhere": header() + special(0) ,
    "entry_limits": header() + typed("2495\b\b\b\b19\b35999\r") + typed("x" * 20 + "\b\b\r"),
    "dst_steps": header(1, 58, 0, alarm=2 * 60 + 30) + typed("0230\r\r") + step(0) + wait(5000)
    + step(1) + step(1) + wait(60000),
    "midnight": header(23, 59, 55, alarm=0) + typed("0000\r\r") + wait(10000) + typed("\x1b"),
    "terminal_keys": header() + terminal(b"0730\r\xd0\xb0\xd0\xb1\r") + wait(15000)
    + terminal(b"\x1b[A\x1bOP\x1b", True) + terminal("аб\r".encode()),
    "terminal_alt_x": header() + terminal(b"\x1bx"),
    "tiny_console": header(shape=200, dims=(2, 1)) + typed("0730\r\r") + wait(12000) + typed("\x1b"),
    "huge_console": header(shape=185, dims=(99, 49)) + typed("0730\rpass\r") + wait(12000)
    + typed("\x1bpass\r"),
    "windows95_keys": header(flags=1 | 2) + special(4, 2, 2, 2, 4) + special(1, 3, 3, 0)
    + typed("0730\r\r") + wait(12000) + typed("\x1b"),
    "held_keys": header() + [9, 10, 30] + [9, 11, 30] + typed("0730\r\r") + wait(12000)
    + [9, 11, 5],
    # Keypad 0, 7, 3, keypad 0, keypad Enter, Enter, Ctrl+C (dropped), then
    # Esc at the ringing.
    "kitty_terminal": header(flags=0x20) + kitty(17, 5, 3, 17, 20, 14) + kitty(11, mods=4)
    + wait(15000) + kitty(13),
    "kitty_terminal_typed": header(flags=0x30) + kitty(0, 5, 3, 0, 14, 14) + wait(15000)
    + kitty(13, event=1) + kitty(13, event=3),
    "win32_terminal": header(flags=0x10) + record(0x30, 11, 0x30) + record(0x37, 8, 0x37)
    + record(0x33, 4, 0x33) + record(0x30, 11, 0x30) + record(13, 28, 13) + record(13, 28, 13)
    + record(0x43, 46, 3, 8) + wait(15000) + record(27, 1, 27),
}
for name, data in APP.items():
    write("app", name, data)

# --- console_write: console header, then screen operations -----------------
# Header: shape (below 224: small), width-1 and height-1 selectors, fill
# character and attribute, cursor column and row selectors, flags (bit 0
# Windows 95 family, bit 1 scrolls above the buffer refused, bit 2 a tall
# cursor, bit 3 an ASCII terminal).
# Operations, chosen by the first byte modulo 10, variants by its bit 7:
# write (0..3, count, bytes) or a long one (4, count word, bytes); GotoXY
# (5, x, y); TextColor (6, c); ClrEol (7) or ClrScr (137); cursor restored
# (8) or hidden (138); terminal resize (9, columns-1, rows-1).


def screen(width=80, height=25, fill=(32, 7), cursor=(0, 0), flags=0):
    return [0, width - 1, height - 1, fill[0], fill[1], cursor[0], cursor[1], flags]


def put(data):
    out = []
    for i in range(0, len(data), 47):
        chunk = data[i:i + 47]
        out += [0, len(chunk)] + list(chunk)
    return out


def long_put(data):
    return [4] + list(struct.pack("<H", len(data))) + list(data)


CW = {
    "banner": screen() + [138, 6, 7, 137] + put(b"\r\n\xfacompiled on 25.May.2001\r\n"),
    "last_row_scroll": screen(20, 4) + [5, 20, 4] + put(b"X\r\nline\nfeed\r\n"),
    "backspaces": screen(10, 3) + put(b"AB\x08C\x08\x08\x08 \x08") + [5, 1, 1] + put(b"\x08\x08"),
    "bells_and_glyphs": screen() + put(bytes([7, 0, 9, 12, 27, 127, 255, 250, 7])),
    "wrap_long": screen(9, 3) + long_put(bytes(range(32, 127)) * 3),
    "windows95_refused": screen(30, 6, flags=1 | 2) + long_put(b"0123456789" * 30) + [137],
    "ascii_terminal": screen(40, 5, flags=8) + put(bytes(range(128, 256))) + [6, 31],
    "resize": screen(50, 10) + put(b"hello") + [9, 19, 4] + put(b"\r\n" * 12) + [9, 99, 39],
    "tiny": screen(1, 1) + put(b"ab\r\n\x08x") + [5, 1, 1, 7, 138, 8],
    "colours": screen(fill=(32, 0x1E), cursor=(5, 5)) + [6, 15] + put(b"white") + [6, 200]
    + put(b"blink") + [7],
    "huge": [230, 0x2B, 0x01, 0xF9, 0x00, 32, 7, 3, 4, 0] + long_put(b"x\r\n" * 200),
}
for name, data in CW.items():
    write("console_write", name, data)
