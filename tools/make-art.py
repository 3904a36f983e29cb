#!/usr/bin/env python3
"""Draws the applet icon (resources/tessmar.ico) and the About picture
(resources/about.bmp) with ImageMagick: a 5-pin DIN socket with network
waves and links. The outputs are committed; run this only to change them.

Each image is drawn at four times its size and scaled down, which gives
smooth edges without relying on the renderer's own antialiasing.
"""
import math
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
OUT = os.path.join(ROOT, "resources")
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

NAVY = "#14305c"
BLUE = "#2c6cb8"
PANEL = "#eef3f9"
HOLE = "#1c232c"
ORANGE = "#ffa630"
WHITE = "#ffffff"


def din_socket(cx, cy, r):
    """Draw commands of a female 5-pin DIN socket of outer radius r."""
    cmds = []
    # Metal rim, dark face, key notch at the bottom.
    cmds.append(f"fill {PANEL} stroke none circle {cx},{cy} {cx + r},{cy}")
    face = r * 0.78
    cmds.append(f"fill {HOLE} stroke none circle {cx},{cy} {cx + face},{cy}")
    nw, nh = r * 0.16, r * 0.20
    cmds.append(f"fill {PANEL} stroke none rectangle {cx - nw},{cy + face - nh} "
                f"{cx + nw},{cy + face + 1}")
    # Five pins 45 degrees apart on the upper half of a circle.
    pin_r = r * 0.12
    ring = r * 0.50
    for k in range(5):
        angle = math.radians(180 + 45 * k)
        px = cx + ring * math.cos(angle)
        py = cy + ring * math.sin(angle) + r * 0.10
        cmds.append(f"fill {WHITE} stroke none circle {px:.1f},{py:.1f} "
                    f"{px + pin_r:.1f},{py:.1f}")
    return cmds


def waves(cx, cy, radii, width, a0, a1, colour=ORANGE):
    """Concentric arcs (network waves) around (cx, cy), angles in degrees
    clockwise from the positive x axis. Each arc is a filled band with
    round ends, since stroked open paths come out closed in some
    ImageMagick versions."""
    cmds = []
    steps = 48
    for radius in radii:
        outer, inner = radius + width / 2, radius - width / 2
        angles = [math.radians(a0 + (a1 - a0) * i / steps) for i in range(steps + 1)]
        points = [(cx + outer * math.cos(a), cy + outer * math.sin(a)) for a in angles]
        points += [(cx + inner * math.cos(a), cy + inner * math.sin(a)) for a in reversed(angles)]
        cmds.append(f"fill {colour} stroke none polygon "
                    + " ".join(f"{x:.1f},{y:.1f}" for x, y in points))
        for a in (angles[0], angles[-1]):
            ex, ey = cx + radius * math.cos(a), cy + radius * math.sin(a)
            cmds.append(f"fill {colour} stroke none circle {ex:.1f},{ey:.1f} "
                        f"{ex + width / 2:.1f},{ey:.1f}")
    return cmds


def run(args):
    subprocess.run(["convert"] + args, check=True)


def draw(size, scale, background, cmds, target):
    big = size * scale if isinstance(size, int) else (size[0] * scale, size[1] * scale)
    w, h = (big, big) if isinstance(big, int) else big
    final = f"{size}x{size}" if isinstance(size, int) else f"{size[0]}x{size[1]}"
    args = ["-size", f"{w}x{h}"] + background
    for c in cmds:
        args += ["-draw", c]
    args += ["-filter", "Box", "-resize", final, target]
    run(args)


def icon_image(size, path):
    s = 4
    w = size * s
    radius = w * 0.18
    cmds = [f"fill {BLUE} stroke {NAVY} stroke-width {max(2, w // 24)} "
            f"roundrectangle {w * 0.03},{w * 0.03} {w * 0.97},{w * 0.97} {radius},{radius}"]
    if size <= 16:
        cmds += din_socket(w * 0.46, w * 0.54, w * 0.36)
        cmds += waves(w * 0.46, w * 0.54, [w * 0.48], w * 0.07, 290, 340)
    else:
        cmds += din_socket(w * 0.44, w * 0.56, w * 0.33)
        cmds += waves(w * 0.44, w * 0.56, [w * 0.42, w * 0.52], w * 0.05, 285, 345)
    draw(size, s, ["xc:none"], cmds, path)


def about_picture(path):
    width, height = 160, 243
    s = 4
    w, h = width * s, height * s
    cx, cy, r = w * 0.5, h * 0.36, w * 0.30
    cmds = []
    # Links to three other machines, drawn under the socket.
    nodes = [(w * 0.14, h * 0.10), (w * 0.86, h * 0.10), (w * 0.86, h * 0.60),
             (w * 0.14, h * 0.60)]
    for nx, ny in nodes:
        cmds.append(f"fill none stroke #7fb2e5 stroke-width {s * 2} "
                    f"line {cx:.0f},{cy:.0f} {nx:.0f},{ny:.0f}")
    for nx, ny in nodes:
        nr = w * 0.075
        cmds.append(f"fill {ORANGE} stroke {WHITE} stroke-width {s * 2} "
                    f"circle {nx:.0f},{ny:.0f} {nx + nr:.0f},{ny:.0f}")
    cmds += waves(cx, cy, [r * 1.25, r * 1.5], s * 3, 200, 340, "#cfe3f7")
    cmds += din_socket(cx, cy, r)
    cmds.append(f"fill {WHITE} stroke none font '{FONT_BOLD}' font-size {s * 26} "
                f"gravity North text 0,{h * 0.70:.0f} 'Tessmar'")
    cmds.append(f"fill #cfe3f7 stroke none font '{FONT}' font-size {s * 11} "
                f"gravity North text 0,{h * 0.83:.0f} 'network MIDI'")
    cmds.append(f"fill #cfe3f7 stroke none font '{FONT}' font-size {s * 11} "
                f"gravity North text 0,{h * 0.89:.0f} 'for Windows'")
    tmp = path + ".png"
    draw((width, height), s, [f"gradient:{NAVY}-#1f7a8c"], cmds, tmp)
    run([tmp, "-type", "TrueColor", "-alpha", "off", "BMP3:" + path])
    os.remove(tmp)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        parts = []
        for size in (16, 32, 48):
            part = os.path.join(tmp, f"icon{size}.png")
            icon_image(size, part)
            parts.append(part)
        run(parts + [os.path.join(OUT, "tessmar.ico")])
    about_picture(os.path.join(OUT, "about.bmp"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
