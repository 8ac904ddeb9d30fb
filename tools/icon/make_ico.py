#!/usr/bin/env python3
"""Packs the icon's PNG sizes into resources/icon/icon.ico for Windows (the
program files and the installer). Each image is stored as PNG, which Windows
reads in icon files since Vista. Run from the project folder."""
import struct
from pathlib import Path

sizes = [16, 24, 32, 48, 64, 128, 256]
folder = Path("resources/icon")
images = [(s, (folder / f"icon-{s}.png").read_bytes()) for s in sizes]
header = struct.pack("<HHH", 0, 1, len(images))
offset = len(header) + 16 * len(images)
entries = b""
for size, data in images:
    edge = 0 if size >= 256 else size  # 0 stands for 256
    entries += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
(folder / "icon.ico").write_bytes(header + entries + b"".join(d for _, d in images))
