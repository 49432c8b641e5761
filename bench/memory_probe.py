"""Encodes one input once in a fresh process and reports, as one JSON line,
the output size and how far the call raised the process's peak resident set.

    python bench/memory_probe.py ENCODER INPUT DATA_DIR

The peak is reset just before the call (Linux /proc/self/clear_refs), so the
figure is the call's own high-water mark above the resident size it started
from: the output object plus every temporary, whether the C heap, the Python
allocator or mmap served it, and the native stack pages that deep recursion
touches. Pages are 4 KiB, and memory the process had
already freed and kept is reused without showing, so small calls read as 0.
Where the reset is refused, the figure is only the part of the call's peak
that rose above the peak of building the input (a lower bound).
"""

import gc
import json
import resource
import sys

import cases


def status_kib(field):
    """A memory figure of this process from /proc/self/status, in KiB."""
    with open("/proc/self/status") as stream:
        for line in stream:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def peak_kib(exact):
    # ru_maxrss also holds the peak of the process that started this one (it
    # survives exec), so it serves only when the reset is refused.
    if exact:
        return status_kib("VmHWM")
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as stream:
            stream.write("5")
        return True
    except OSError:
        return False


def measure(encode, value):
    """Calls encode(value) once; returns the output, the peak rise in KiB and
    whether the peak could be reset first."""
    before = status_kib("VmRSS")
    exact = reset_peak()
    peak_before = peak_kib(exact)
    output = encode(value)
    peak = peak_kib(exact)
    return output, max(0, peak - (before if exact else peak_before)), exact


def main(encoder_name, input_name, folder):
    encode = cases.encoder_function(encoder_name)
    value = cases.build_input(input_name, folder)
    report = {"encoder": encoder_name, "input": input_name}
    try:
        encode([1, "a", {"b": 2.5}])  # first-call set-up is not the input's cost
    except Exception:
        pass
    gc.collect()
    gc.disable()
    # A first round around a call that does nothing, so that what reading
    # /proc costs the first time is not charged to the encoder.
    measure(lambda value: b"", value)
    try:
        output, report["peak_kib"], report["peak_exact"] = measure(encode, value)
    except Exception as error:  # the encoder does not take this input
        report = {"encoder": encoder_name, "input": input_name, "error": f"{type(error).__name__}: {error}"[:200]}
    else:
        report["size"] = len(output.encode() if isinstance(output, str) else output)
    print(json.dumps(report))


if __name__ == "__main__":
    main(*sys.argv[1:4])
