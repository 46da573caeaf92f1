"""Writes the seed corpora of the fuzz targets into fuzz/seeds/ (committed)."""
import json
import pathlib

HERE = pathlib.Path(__file__).resolve().parent

from tavolin_testing.container_writer import make_container, header_members, header_text

KEY = bytes([0x42]) * 32
SEEDS = HERE / "seeds"


def put(target, name, data):
    d = SEEDS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def main():
    rnd = __import__("random").Random(7)
    members, _ = header_members(KEY, 4096, dek=bytes(32), wrap_nonce=bytes(12),
                                nonce_prefix=bytes(8))
    put("header", "object", header_text(members))
    put("header", "indented", header_text(members, indent=2))
    put("header", "array", json.dumps(list(members.values())).encode())
    put("header", "reordered", json.dumps(dict(reversed(list(members.items())))).encode())
    bad = dict(members, chunk_size=67108865)
    put("header", "chunk_too_big", header_text(bad))
    bad = dict(members, wrapped_dek=members["wrapped_dek"].rstrip("="))
    put("header", "unpadded", header_text(bad))
    put("header", "extra_member", header_text(dict(members, extra=1)))

    for size, chunk in [(0, 16), (1, 16), (4096, 4096), (80000, 4096), (75001, 65536)]:
        plain = bytes(rnd.getrandbits(8) for _ in range(size))
        put("container", f"plain{size}_chunk{chunk}", make_container(plain, KEY, chunk))
    put("container", "key16", make_container(b"x" * 300, bytes(16), 64))
    put("container", "not_a_container", b"plain bytes, not a container at all")

    put("frames", "canonical", "/data/v\n/data/v/frame_0000001.jpg\n/data/v/a/frame_42.png")
    put("frames", "relative", "frames/\nframes/./x/frame_+7.\nframes/../frame_3")
    put("frames", "edge", "\n18446744073709551615_x\n/x/y_18446744073709551615.jpg\n..")

    put("pdf", "hello", "Hello")
    put("pdf", "empty", "")
    put("pdf", "mixed", "caf\u00e9 (x) \\ y\r\nline\rthird\u20ac\U0001F600\u0085")
    put("pdf", "many_lines", "\n".join(f"line {i}" for i in range(70)))


if __name__ == "__main__":
    main()
