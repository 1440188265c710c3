"""Times archive.read of one file: prints the milliseconds of each of N
reads and the size read, one per line, as ostrand-dat/bench/read_times does
for the C++ get_file.
    python3 read_times.py ARCHIVE ID N"""
import sys
import time

import ostrand_dat

path, file_id, runs = sys.argv[1], int(sys.argv[2], 0), int(sys.argv[3])
with ostrand_dat.open(path) as archive:
    for _ in range(runs):
        start = time.perf_counter()
        data = archive.read(file_id)
        took = time.perf_counter() - start
        print(f"{took * 1000:.3f} {len(data)}")
        del data
