"""What the boardsim checks share: running boardsim, writing scenarios, counting checks, and
copies of the image folder with bytes planted in one image (a damaged driver)."""
import json
import os
import shutil
import struct
import subprocess
import sys


class Checks:
    def __init__(self, boardsim, work, kept):
        self.boardsim, self.work, self.kept = boardsim, work, kept
        os.makedirs(work, exist_ok=True)
        self.failures, self.passed = [], 0

    def check(self, condition, what):
        print(("ok: " if condition else "FAIL: ") + what)
        if condition:
            self.passed += 1
        else:
            self.failures.append(what)

    def run(self, *args, stdin=None, env=None):
        return subprocess.run([self.boardsim, *args], capture_output=True, text=True,
                              input=stdin, timeout=120,
                              env=None if env is None else {**os.environ, **env})

    def write(self, name, document):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            json.dump(document, f)
        return path

    def load(self, name):
        with open(os.path.join(self.kept, name)) as f:
            return json.load(f)

    def planted(self, name, image, patches):
        """A copy of the image folder in WORK/name where image.efi has the bytes of each
        (where, bytes) patch: where is an rva, ("entry", offset) counting from the entry point,
        ("file", offset) in the file, or (bytes, n) the n-th place of these bytes in the file
        (None when there are fewer)."""
        folder = os.path.join(self.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(os.environ["BOARD_IMAGE_DIR"], folder)
        path = os.path.join(folder, image + ".efi")
        with open(path, "rb") as f:
            data = bytearray(f.read())
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional = struct.unpack_from("<H", data, pe + 20)[0]
        entry = struct.unpack_from("<I", data, pe + 24 + 16)[0]
        table = pe + 24 + optional

        def file_offset(rva):
            for index in range(sections):
                size, address, raw_size, raw = struct.unpack_from("<IIII", data,
                                                                  table + 40 * index + 8)
                if address <= rva < address + max(size, raw_size):
                    return raw + rva - address
            raise ValueError("no section holds rva 0x%x" % rva)

        for rva, planted in patches:
            if isinstance(rva, tuple) and isinstance(rva[0], bytes):  # (bytes, n): n-th place
                at = -1
                for _ in range(rva[1] + 1):
                    at = data.find(rva[0], at + 1)
                if at < 0:
                    return None
            elif isinstance(rva, tuple) and rva[0] == "file":
                at = rva[1]
            else:
                at = file_offset(entry + rva[1] if isinstance(rva, tuple) else rva)
            data[at:at + len(planted)] = planted
        with open(path, "wb") as f:
            f.write(data)
        return folder

    def finish(self):
        print("%d passed, %d failed" % (self.passed, len(self.failures)))
        sys.exit(1 if self.failures else 0)
