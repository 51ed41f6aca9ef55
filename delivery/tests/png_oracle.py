"""Reads a picture file with Pillow and prints what the tests compare, one item a line:
format, mode, width height, palette (r,g,b triples, hex), then the pixel values row by row
(palette indices for indexed PNG files, rrggbb otherwise)."""
import sys

from PIL import Image

with Image.open(sys.argv[1]) as im:
    im.load()
    print(im.format)
    print(im.mode)
    print(im.width, im.height)
    indexed = im.format == "PNG" and im.mode == "P"
    pal = im.getpalette() if indexed else None
    print(bytes(pal).hex() if pal else "-")
    if indexed:
        data = list(im.getdata())
        for y in range(im.height):
            print(" ".join(str(v) for v in data[y * im.width:(y + 1) * im.width]))
    else:
        rgb = im.convert("RGB")
        data = list(rgb.getdata())
        for y in range(im.height):
            print(" ".join("%02x%02x%02x" % p for p in data[y * im.width:(y + 1) * im.width]))
