#!/usr/bin/python3
"""The container's cipher and key against an independent implementation (pycryptodome).

  cipher_against_pycryptodome.py PROBE

The container reads each 8-byte block as two little-endian words, the one at offset 4 being the
cipher's left half: that is the standard block with its 8 bytes in reverse order. A tail shorter
than 8 bytes stays as it is. The payload key is the key text enciphered the same way with itself
as the key.
"""
import random
import subprocess
import sys

from Cryptodome.Cipher import Blowfish

KEY_WORD = b"Kestrl"


def reference_encipher(key, data):
    cipher = Blowfish.new(key, Blowfish.MODE_ECB)
    whole = len(data) - len(data) % 8
    out = b"".join(cipher.encrypt(data[i:i + 8][::-1])[::-1] for i in range(0, whole, 8))
    return out + data[whole:]


def reference_key(length):
    text = KEY_WORD + b"$%07X" % length + KEY_WORD + b"%08d" % length
    text += text
    return reference_encipher(text, text)


def main():
    rng = random.Random(4)
    questions, expected = [], []
    for _ in range(300):
        key = bytes(rng.randrange(256) for _ in range(rng.randrange(4, 57)))
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 41)))
        questions.append(f"encipher {key.hex()} {data.hex() or '-'}")
        expected.append(reference_encipher(key, data).hex().upper() or "-")
    # pycryptodome takes keys of at most 56 bytes: lengths below 10**8 (8 decimal digits) give that.
    for length in [0, 1, 13, 8191, 141936, 0xFFFFFF, 99999999] + [rng.randrange(1 << 24) for _ in range(50)]:
        questions.append(f"key {length}")
        expected.append(reference_key(length).hex().upper())
    answers = subprocess.run([sys.argv[1]], input="\n".join(questions) + "\n", capture_output=True, text=True,
                             check=True).stdout.splitlines()
    wrong = [(q, a, e) for q, a, e in zip(questions, answers, expected) if a != e]
    if len(answers) != len(questions):
        wrong.append(("answers", len(answers), len(questions)))
    for q, a, e in wrong[:10]:
        print(f"{q}: got {a}, expected {e}")
    print(f"{len(questions)} questions, {len(wrong)} wrong")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
