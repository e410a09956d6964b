#!/usr/bin/python3
"""Reads a compound document written by our container with python3-olefile, an independent reader.

The document comes from our sample writer (`interop_samples cfb PATH`, tests/interop/samples.cpp). Its
streams hold a pattern both sides compute: byte i of a stream named N
is (i * 31 + len(N)) & 0xFF. Every stream's bytes, the storage tree, a class id and a time stamp are
checked, with olefile set to raise on any defect it would otherwise only note.
"""

import argparse
import datetime
import os
import subprocess
import sys
import tempfile

try:
    import olefile
except ImportError:
    print("FAIL: python3-olefile is not installed (apt-get install python3-olefile)")
    sys.exit(1)


def pattern(name, size):
    period = bytes(((i * 31 + len(name)) & 0xFF) for i in range(256))
    return (period * (size // 256 + 1))[:size]


# Path (tuple of names) -> size, as written by interop_samples cfb.
EXPECTED_STREAMS = {
    ("Workbook",): 5000,
    ("Empty",): 0,
    ("One",): 1,
    ("Mini4095",): 4095,
    ("Big4096",): 4096,
    ("Big4097",): 4097,
    ("Large",): 15 << 20,
    ("Storage A", "Inner"): 300,
    ("Storage A", "Nested", "Deep"): 70000,
}
for i in range(20):
    name = "S" + chr(ord("a") + i) + "x" + "y" * (i % 4)
    EXPECTED_STREAMS[("Many", name)] = i * 97

EXPECTED_STORAGES = {("Storage A",), ("Storage A", "Nested"), ("Many",)}
STORAGE_A_CLSID = "20080200-0000-0000-C000-000000000046"
STORAGE_A_MTIME = 0x01D4B4C2D5E6F700  # FILETIME: 100 ns units since 1601-01-01


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--corpus", required=False)
    args = parser.parse_args()

    program = os.path.join(args.build_dir, "tests", "interop_samples")
    if not os.path.isfile(program):
        print("FAIL: sample writer not built: " + program)
        return 1

    with tempfile.TemporaryDirectory(prefix="plicato-olefile-") as folder:
        sample = os.path.join(folder, "sample.cfb")
        run = subprocess.run([program, "cfb", sample],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        if run.returncode != 0 or not os.path.isfile(sample):
            print(run.stdout)
            print("FAIL: the sample writer did not write " + sample)
            return 1
        return check(sample)


def check(sample):
    failures = []
    if not olefile.isOleFile(sample):
        print("FAIL: olefile does not take the file for a compound document")
        return 1
    # DEFECT_INCORRECT: raise on anything the format does not allow, not only on fatal damage.
    ole = olefile.OleFileIO(sample, raise_defects=olefile.DEFECT_INCORRECT)
    try:
        print("header: version %d.%d, sector size %d, %d FAT sectors, %d DIFAT sectors" %
              (ole.dll_version, ole.minor_version, ole.sector_size, ole.num_fat_sectors,
               ole.num_difat_sectors))
        if ole.num_difat_sectors == 0:
            failures.append("the sample should need DIFAT sectors")

        streams = {tuple(p) for p in ole.listdir(streams=True, storages=False)}
        storages = {tuple(p) for p in ole.listdir(streams=False, storages=True)}
        if streams != set(EXPECTED_STREAMS):
            failures.append("streams differ: missing %s, unexpected %s" %
                            (sorted(set(EXPECTED_STREAMS) - streams), sorted(streams - set(EXPECTED_STREAMS))))
        if storages != EXPECTED_STORAGES:
            failures.append("storages differ: %s" % sorted(storages))

        checked = 0
        for path, size in sorted(EXPECTED_STREAMS.items()):
            if path not in streams:
                continue
            if ole.get_type(list(path)) != olefile.STGTY_STREAM:
                failures.append("%s is not a stream" % "/".join(path))
            data = ole.openstream(list(path)).read()
            if len(data) != size:
                failures.append("%s: %d bytes instead of %d" % ("/".join(path), len(data), size))
            elif data != pattern(path[-1], size):
                failures.append("%s: contents differ" % "/".join(path))
            else:
                checked += 1
        print("streams: %d of %d read back byte for byte" % (checked, len(EXPECTED_STREAMS)))

        clsid = ole.getclsid(["Storage A"])
        if clsid != STORAGE_A_CLSID:
            failures.append("class id of Storage A: %s instead of %s" % (clsid, STORAGE_A_CLSID))
        expected_mtime = datetime.datetime(1601, 1, 1) + datetime.timedelta(microseconds=STORAGE_A_MTIME // 10)
        mtime = ole.getmtime(["Storage A"])
        if mtime != expected_mtime:
            failures.append("modified time of Storage A: %s instead of %s" % (mtime, expected_mtime))
        print("storages: %s; class id and time stamp of Storage A checked" % sorted("/".join(s) for s in storages))

        # The mini stream holds the streams under 4,096 bytes; olefile finds them through the root entry.
        if ole.root.size == 0:
            failures.append("the root entry holds no mini stream")
    finally:
        ole.close()

    for failure in failures:
        print("FAIL: " + failure)
    if failures:
        return 1
    print("olefile read the sample without defects")
    return 0


if __name__ == "__main__":
    sys.exit(main())
