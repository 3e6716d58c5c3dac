#!/usr/bin/env python3
"""Draws the preference pane's 128x128 picture into pref/Resources/KapshoPref.png.

The agent's upload glyph, white on the blue of its highlighted look, drawn with the shapes of
tools/status-images/draw.py at a larger scale. Run it again after changing a shape:

    python3 tools/pane-picture/draw.py
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools", "status-images"))
import draw  # noqa: E402

SIZE = 128


def main():
    draw.SIZE = SIZE
    draw.SAMPLES = 4
    scale = SIZE / 20
    layers = [(draw.rounded_rect(4, 4, SIZE - 4, SIZE - 4, 24), draw.BLUE),
              (draw.upload_glyph(scale=scale * 0.8, cx=SIZE / 2, cy=SIZE / 2), draw.WHITE)]
    draw.write_png(os.path.join(ROOT, "pref", "Resources", "KapshoPref.png"), draw.render(layers))


if __name__ == "__main__":
    main()
