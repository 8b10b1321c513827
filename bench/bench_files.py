"""Index files: records encoded, BM25 documents added, the BM25 finish and
get_record decodes over the corpus chunked at 1200 characters, next to
nlohmann::json and a std::map inverted index measured in the same run.

The figures come from the C++ program bench_files (bench/bench_files.cpp),
which times the core's builders and readers directly."""
import subprocess
import sys

from common import BUILD, CORPUS


def main():
    exe = BUILD / "bench_files"
    if not exe.exists():
        sys.exit(f"{exe} not found: build with `make build` first")
    subprocess.run([str(exe), str(CORPUS)], check=True)


if __name__ == "__main__":
    main()
