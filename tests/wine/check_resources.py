#!/usr/bin/env python3
"""Checks that a Windows executable carries buildsweep's resources.

    check_resources.py EXE ICON MANIFEST

The resource compiler stores the manifest and each picture of the icon
unchanged, so each must appear in the executable byte for byte.
"""
import struct
import sys


def icon_images(icon):
    """The pictures of an .ico file, as stored in it."""
    reserved, kind, count = struct.unpack_from("<HHH", icon, 0)
    if reserved != 0 or kind != 1:
        sys.exit("not an icon file")
    images = []
    for i in range(count):
        width, height, _, _, _, bits, size, offset = struct.unpack_from("<BBBBHHII", icon, 6 + 16 * i)
        images.append(("%dx%d %d-bit picture" % (width or 256, height or 256, bits),
                       icon[offset:offset + size]))
    return images


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: check_resources.py EXE ICON MANIFEST")
    with open(argv[1], "rb") as f:
        exe = f.read()
    with open(argv[2], "rb") as f:
        icon = f.read()
    with open(argv[3], "rb") as f:
        manifest = f.read()
    wanted = [("manifest", manifest)] + icon_images(icon)
    missing = [name for name, data in wanted if data not in exe]
    if missing:
        sys.exit("%s lacks: %s" % (argv[1], ", ".join(missing)))


if __name__ == "__main__":
    main(sys.argv)
