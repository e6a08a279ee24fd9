"""Tambrel's glyph icons: the pixel art of every button picture, written out as XPM.

Each picture is drawn here pixel by pixel (one character a pixel, ' ' transparent);
the greyed pictures that disabled buttons show are made from the normal ones.
Run from the repository root after changing a picture:  python3 ui/icons/draw_icons.py
"""
import os, sys

OUT = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))

def write_xpm(name, rows, palette):
    h = len(rows); w = len(rows[0])
    for i, r in enumerate(rows):
        assert len(r) == w, (name, i, len(r), w, r)
        for c in r:
            assert c in palette, (name, i, c)
    used = [c for c in palette if any(c in r for r in rows)]
    ident = name.replace('-', '_')
    lines = ['/* XPM */', f'static const char* {ident}_xpm[] = {{',
             f'"{w} {h} {len(used)} 1",']
    for c in used:
        lines.append(f'"{c} c {palette[c]}",')
    for i, r in enumerate(rows):
        lines.append(f'"{r}"' + (',' if i < h - 1 else ''))
    lines.append('};')
    with open(os.path.join(OUT, name + '.xpm'), 'w') as f:
        f.write('\n'.join(lines) + '\n')

def grey(palette):
    # Faded grey: the picture's own light and shade, with less contrast and lighter,
    # so that a disabled button reads as "not now" but keeps its shape.
    out = {}
    for c, v in palette.items():
        if v == 'None':
            out[c] = v; continue
        r, g, b = int(v[1:3], 16), int(v[3:5], 16), int(v[5:7], 16)
        y = 0.299 * r + 0.587 * g + 0.114 * b
        y = round(96 + y * 0.55)
        out[c] = '#%02X%02X%02X' % (y, y, y)
    return out

def both(name, rows, palette):
    write_xpm(name, rows, palette)
    write_xpm(name + '_disabled', rows, grey(palette))

# ---- round lamps (Play, Stop): a ball lit from the upper left, with a highlight ----
play_pal = {' ': 'None', 'K': '#0E4A12', 'D': '#1B8A22', 'M': '#2DB536', 'B': '#4FD858',
            'L': '#A8F5AC', 'W': '#FFFFFF'}
stop_pal = {' ': 'None', 'K': '#5E0A0A', 'D': '#A8161A', 'M': '#D42A2A', 'B': '#F04848',
            'L': '#FFB0A8', 'W': '#FFFFFF'}
lamp_rows = [
    "              ",
    "    KKKKKK    ",
    "  KKBBBBBBKK  ",
    " KBBLLBBBBBMK ",
    " KBLWWLBBBMMK ",
    "KBBLWWLBBMMMDK",
    "KBBBLLBBMMMMDK",
    "KBBBBBBMMMMMDK",
    "KBBBBMMMMMMDDK",
    "KMBMMMMMMMDDDK",
    " KMMMMMMMDDDK ",
    " KDMMMMMDDDDK ",
    "  KKDDDDDDKK  ",
    "    KKKKKK    ",
    "              ",
]
both('play', lamp_rows, play_pal)
both('stop', lamp_rows, stop_pal)

# ---- floppy disk (save) ----
save = [
    "                ",
    " KKKKKKKKKKKKK  ",
    " KhBsssssskkBBK ",
    " KhBsssssskkBBBK",
    " KhBsssssskkBBBK",
    " KhBSSSSSSSSBBBK",
    " KhBBBBBBBBBBBBK",
    " KhWWWWWWWWWWWBK",
    " KhWLLLLLLLLLWBK",
    " KhWWWWWWWWWWWBK",
    " KhWLLLLLLLLLWBK",
    " KhWWWWWWWWWWWBK",
    " KhWWWWWWWWWWWBK",
    " KkWWWWWWWWWWWbK",
    " KKKKKKKKKKKKKKK",
    "                ",
]
save_pal = {' ': 'None', 'K': '#101A30', 'B': '#2F5FAF', 'b': '#1E3F7A', 'h': '#6A94DA',
            's': '#E4E4E4', 'S': '#9C9C9C', 'k': '#2A2A2A', 'W': '#FFFFFF', 'L': '#7A96C8'}
both('save', save, save_pal)

# ---- open yellow folder (load) ----
load = [
    "                ",
    "                ",
    "                ",
    " KKKK           ",
    "KLLLLKKKKKKK    ",
    "KLyyyyyyyyyyK   ",
    "KLyyyyyyyyyyK   ",
    "KLyyKKKKKKKKKKKK",
    "KLyKLLLLLLLLLLK ",
    "KLyKYYYYYYYYYYK ",
    "KLKYYYYYYYYYYK  ",
    "KLKYYYYYYYYYYK  ",
    "KKYYYYYYYYYYYK  ",
    "KKKKKKKKKKKKK   ",
    "                ",
    "                ",
]
load_pal = {' ': 'None', 'K': '#6B4E00', 'y': '#D9A521', 'Y': '#F7D44C', 'L': '#FFF1A8'}
both('load', load, load_pal)


# ---- notes on a music staff (presets) ----
presets = [
    "                ",
    "        NNNN    ",
    "llllNNNNNNNNllll",
    "    NNNN   N    ",
    "    N      N    ",
    "llllNllllllNllll",
    "    N      N    ",
    "    N    NNN    ",
    "llllNlllNNNNllll",
    "    N   NNN     ",
    "  NNN           ",
    "lNNNNlllllllllll",
    " NNN            ",
    "                ",
    "llllllllllllllll",
    "                ",
]
presets_pal = {' ': 'None', 'l': '#6F86B4', 'N': '#12123A'}
both('presets', presets, presets_pal)

# ---- a small red lamp on a striped base (clear) ----
clear = [
    "                ",
    "                ",
    "      KKKK      ",
    "    KKRRRrKK    ",
    "   KRLWRRrrdK   ",
    "   KRWLRrrrdK   ",
    "   KRRRrrrrdK   ",
    "   KrrrrrrddK   ",
    "  KKKKKKKKKKKK  ",
]
for j in range(4):
    inner = ''.join('y' if ((i + j) // 2) % 2 == 0 else 'k' for i in range(10))
    clear.append("  K" + inner + "K  ")
clear += ["  KKKKKKKKKKKK  ", "                ", "                "]
clear_pal = {' ': 'None', 'K': '#3A0606', 'R': '#F04040', 'r': '#CC1E1E', 'd': '#8E1010',
             'L': '#FFB4AC', 'W': '#FFFFFF', 'y': '#F5C518', 'k': '#2A2A2A'}
write_xpm('clear', clear, clear_pal)

# ---- slider fader (volume) ----
volume = [
    "               ",
    "      gKg      ",
    " ttt  gKg  ttt ",
    "      gKg      ",
    "  tt  gKg  tt  ",
    "      gKg      ",
    "  kkkkkkkkkkk  ",
    "  kWWWWWWWWSk  ",
    "  kWsssssssSk  ",
    "  kWrrrrrrrSk  ",
    "  kWsssssssSk  ",
    "  kSSSSSSSSSk  ",
    "  kkkkkkkkkkk  ",
    "      gKg      ",
    "  tt  gKg  tt  ",
    "      gKg      ",
    " ttt  gKg  ttt ",
    "               ",
]
volume_pal = {' ': 'None', 'g': '#808080', 'K': '#1A1A1A', 't': '#4A4A4A', 'k': '#2E2E2E',
              'W': '#FFFFFF', 's': '#CFCFCF', 'S': '#8A8A8A', 'r': '#D02020'}
write_xpm('volume', volume, volume_pal)

# ---- purple book with a yellow question mark (help) ----
def canvas(w, h):
    return [[' '] * w for _ in range(h)]

def rows_of(c):
    return [''.join(r) for r in c]

book = canvas(18, 18)
for y in range(1, 16):
    for x in range(2, 14):
        edge = y in (1, 15) or x in (2, 13)
        book[y][x] = 'K' if edge else ('p' if x == 3 else ('K' if x == 4 else 'P'))
for x in range(5, 13):
    book[2][x] = 'h'
for y in range(3, 15):
    book[y][5] = 'h'
# the pages, seen at the right and bottom edges
for y in range(2, 17):
    book[y][14] = 'w' if y % 2 == 0 else 'e'
    book[y][15] = 'K'
book[2][14] = 'K'
for x in range(3, 15):
    book[16][x] = 'w' if x % 2 == 0 else 'e'
    book[17][x] = 'K'
book[16][3] = 'K'
book[17][3] = ' '
book[16][15] = 'K'
book[17][15] = ' '
question = [
    " YYYY ",
    "YY  YY",
    "    YY",
    "   YY ",
    "  YY  ",
    "  YY  ",
    "      ",
    "  YY  ",
    "  YY  ",
]
qx, qy = 6, 4
for j, r in enumerate(question):
    for i, c in enumerate(r):
        if c == 'Y':
            book[qy + j][qx + i] = 'Y'
# a dark drop shadow to the lower right lifts the mark off the cover
for j, r in enumerate(question):
    for i, c in enumerate(r):
        if c == 'Y':
            x, y = qx + i + 1, qy + j + 1
            if book[y][x] == 'P':
                book[y][x] = 'q'
help_pal = {' ': 'None', 'K': '#240838', 'P': '#7A2EBC', 'p': '#5A1C8E', 'h': '#A468E4',
            'q': '#42106A', 'Y': '#FFD81E', 'w': '#FFFFFF', 'e': '#B8B8C8'}
both('help', rows_of(book), help_pal)

# ---- open door under a green exit sign (close) ----
door = canvas(18, 18)
sign = [
    "GGGGGGGGGGGG",
    "GgggggWggggG",
    "GgggggWWgggG",
    "GgWWWWWWWggG",
    "GgggggWWgggG",
    "GgggggWggggG",
    "GGGGGGGGGGGG",
]
for j, r in enumerate(sign):
    for i, c in enumerate(r):
        door[j][3 + i] = c
# frame with the bright doorway
for y in range(8, 18):
    for x in range(2, 12):
        door[y][x] = 'F' if (y == 8 or x in (2, 11)) else 'l'
for x in range(3, 11):
    door[17][x] = 'f'   # the floor of the doorway
# the door leaf, swung open towards us on its hinge at the right of the frame
for x in range(12, 17):
    top = 9 + (x - 12) // 2
    bottom = 17 - (x - 11) // 2
    for y in range(top, bottom + 1):
        door[y][x] = 'K' if (y in (top, bottom) or x == 16) else 'D'
for y in range(11, 15):
    door[y][13] = 'd'   # a panel on the leaf
door[13][15] = 'Y'      # the knob
close_pal = {' ': 'None', 'G': '#0C5A1C', 'g': '#22B040', 'W': '#FFFFFF', 'F': '#4A3020',
             'l': '#FFF3B8', 'f': '#D8C070', 'K': '#3A2210', 'D': '#9A5E2C', 'd': '#7A4820',
             'Y': '#FFD000'}
both('close', rows_of(door), close_pal)
