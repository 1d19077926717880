#!/usr/bin/env python3
"""Make a hubflash firmware image file from data, for tests and trials.

    mkimage.py --version 123 --section 0201:4096 --section 0101:app.bin \
               --seed 7 --output image.txt --flash-out expected/

Each --section is DEVTYPE:SOURCE[@ADDRESS]: DEVTYPE is the board device type
in 4 hex digits, SOURCE is either a byte count (decimal or 0x...) of
pseudo-random data drawn from --seed, or the path of a file whose bytes are
used; the data is placed at ADDRESS (default 0x4000). The image holds the
version line "___<version>", then per section a ">>>XXXX" header, a type-04
extended linear address record, 16-byte type-00 data records (a new type-04
record whenever the upper 16 address bits change), the end-of-file record and
the "!!!!!!!!" end marker.

--flash-out DIR writes, for every device type with a known flash layout, the
flash a board should hold after the image was installed: DIR/xxxx.bin with
the bytes from 0x4000 to the top of the layout, 0xFF where no data lies. When
two sections share a device type the first one counts, as in the loader.
"""

import argparse
import os
import random
import sys

FLASH_BASE = 0x4000
# (first type, last type, one past the highest flash address)
FLASH_LAYOUTS = [(0x0101, 0x0103, 0x20000), (0x0201, 0x0204, 0x10000)]
RECORD_BYTES = 16


def flash_end(device_type):
    for first, last, end in FLASH_LAYOUTS:
        if first <= device_type <= last:
            return end
    return None


def intel_record(record_type, address16, data):
    body = bytes([len(data), address16 >> 8, address16 & 0xFF, record_type]) + bytes(data)
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def section_records(address, data):
    """Type-04 and type-00 records for data at address; no record crosses 64 KiB."""
    records = []
    upper = None
    offset = 0
    while offset < len(data):
        current = address + offset
        if current >> 16 != upper:
            upper = current >> 16
            records.append(intel_record(0x04, 0, upper.to_bytes(2, "big")))
        room = min(RECORD_BYTES, 0x10000 - (current & 0xFFFF))
        chunk = data[offset:offset + room]
        records.append(intel_record(0x00, current & 0xFFFF, chunk))
        offset += len(chunk)
    if upper is None:
        records.append(intel_record(0x04, 0, b"\x00\x00"))
    return records


def parse_number(text):
    return int(text, 16) if text.lower().startswith("0x") else int(text, 10)


def parse_section(text, rng):
    """DEVTYPE:SOURCE[@ADDRESS] -> (device type, address, data)."""
    type_text, sep, source = text.partition(":")
    if not sep or len(type_text) != 4:
        raise ValueError("section must be DEVTYPE:SIZE or DEVTYPE:FILE, got %r" % text)
    device_type = int(type_text, 16)
    address = FLASH_BASE
    head, at, tail = source.rpartition("@")
    if at:
        try:
            address = parse_number(tail)
            source = head
        except ValueError:
            pass  # an '@' that belongs to a file name
    try:
        size = parse_number(source)
    except ValueError:
        with open(source, "rb") as f:
            data = f.read()
    else:
        if size < 0:
            raise ValueError("negative size in %r" % text)
        data = rng.randbytes(size)
    if address > 0xFFFFFF or address + len(data) > 0x1000000:
        raise ValueError("section %r does not fit 24-bit addresses" % text)
    end = flash_end(device_type)
    if end is not None and (address < FLASH_BASE or address + len(data) > end):
        raise ValueError("section %r lies outside flash 0x%X-0x%X of type %04x"
                         % (text, FLASH_BASE, end - 1, device_type))
    return device_type, address, data


def image_text(version, sections, newline):
    lines = ["___%d" % version]
    for device_type, address, data in sections:
        lines.append(">>>%04X" % device_type)
        lines.extend(section_records(address, data))
        lines.append(intel_record(0x01, 0, b""))
        lines.append("!!!!!!!!")
    return newline.join(lines) + newline


def expected_flash(device_type, address, data):
    end = flash_end(device_type)
    flash = bytearray(b"\xff" * (end - FLASH_BASE))
    flash[address - FLASH_BASE:address - FLASH_BASE + len(data)] = data
    return bytes(flash)


def write_flash_out(directory, sections):
    written = set()
    for device_type, address, data in sections:
        if device_type in written or flash_end(device_type) is None:
            continue
        written.add(device_type)
        with open(os.path.join(directory, "%04x.bin" % device_type), "wb") as f:
            f.write(expected_flash(device_type, address, data))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--version", type=int, required=True, help="firmware version, e.g. 305")
    parser.add_argument("--section", action="append", default=[], metavar="DEVTYPE:SIZE|DEVTYPE:FILE[@ADDR]")
    parser.add_argument("--seed", type=int, default=1, help="seed of the random data (default 1)")
    parser.add_argument("--crlf", action="store_true", help="end lines with CR LF instead of LF")
    parser.add_argument("--output", "-o", help="image file to write (default: standard output)")
    parser.add_argument("--flash-out", metavar="DIR", help="write the expected flash per device type here")
    args = parser.parse_args(argv)
    rng = random.Random(args.seed)
    try:
        sections = [parse_section(text, rng) for text in args.section]
    except (ValueError, OSError) as error:
        print("mkimage: %s" % error, file=sys.stderr)
        return 2
    text = image_text(args.version, sections, "\r\n" if args.crlf else "\n")
    if args.output:
        with open(args.output, "w", newline="") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    if args.flash_out:
        os.makedirs(args.flash_out, exist_ok=True)
        write_flash_out(args.flash_out, sections)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
