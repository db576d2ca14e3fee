"""Render a capture of ANSI-coloured console output (SGR codes only) as a PNG.

docs/console.png was made once, from the real output of examples/basic.py:

    python examples/basic.py /tmp/demo 2> console.ansi
    (printf '$ python examples/basic.py /tmp/demo\n'; cat console.ansi) > shot.ansi
    python docs/make_console_png.py shot.ansi docs/console.png

It needs Pillow (not a dependency of the project: install it into a throwaway
venv) and the DejaVu Sans Mono font (Debian: fonts-dejavu-core).
"""

import re
import sys

from PIL import Image, ImageDraw, ImageFont

PALETTE = {30: (46, 52, 54), 31: (239, 41, 41), 32: (138, 226, 52), 33: (252, 233, 79),
           34: (114, 159, 207), 35: (173, 127, 168), 36: (52, 226, 226), 37: (238, 238, 236)}
BG, FG = (30, 30, 30), (220, 220, 220)
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono-Bold.ttf"
SGR = re.compile(r"\x1b\[([0-9;]*)m")

src, dst = sys.argv[1], sys.argv[2]
lines = open(src, encoding="utf-8").read().rstrip("\n").split("\n")
size = 15
font, bold = ImageFont.truetype(FONT, size), ImageFont.truetype(BOLD, size)
cw = font.getlength("M")
lh = int(size * 1.45)
width = max(len(SGR.sub("", l)) for l in lines)
pad = 16
img = Image.new("RGB", (int(pad * 2 + cw * width), pad * 2 + lh * len(lines)), BG)
d = ImageDraw.Draw(img)
fg, bg, is_bold = FG, None, False
for row, line in enumerate(lines):
    x, y = pad, pad + row * lh
    pos = 0
    for m in list(SGR.finditer(line)) + [None]:
        text = line[pos:m.start() if m else len(line)]
        if text:
            w = cw * len(text)
            if bg:
                d.rectangle([x, y, x + w, y + lh - 1], fill=bg)
            d.text((x, y + 2), text, font=bold if is_bold else font, fill=fg)
            x += w
        if m is None:
            break
        pos = m.end()
        for code in [int(c) for c in (m.group(1) or "0").split(";") if c]:
            if code == 0:
                fg, bg, is_bold = FG, None, False
            elif code == 1:
                is_bold = True
            elif 30 <= code <= 37:
                fg = PALETTE[code]
            elif 40 <= code <= 47:
                bg = PALETTE[code - 10]
img.save(dst, optimize=True)
print(img.size)
