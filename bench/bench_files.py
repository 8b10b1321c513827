"""Builds and runs the C++ benchmark of the index files (bench_files.cpp).

It times the core's builders and readers directly, so it is a C++ program;
this script only configures its build directory and runs it on the corpus.
"""
import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build-bench"


def main() -> int:
    corpus = os.environ.get("TESSAVINE_CORPUS", str(ROOT.parent / "shared" / "corpus"))
    subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DTESSAVINE_BENCH=ON",
         "-DTESSAVINE_PYTHON=OFF", "-DTESSAVINE_TESTS=OFF", "-DCMAKE_BUILD_TYPE=Release"],
        check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j", "2", "--target", "bench_files"],
                   check=True, stdout=subprocess.DEVNULL)
    return subprocess.run([str(BUILD / "bench_files"), corpus]).returncode


if __name__ == "__main__":
    sys.exit(main())
