"""The core metadata of a wheel or an sdist, as an index reads it."""

import email.message
import tarfile
import zipfile
from pathlib import Path


def metadata(distribution: Path) -> email.message.Message:
    if distribution.suffix == ".whl":
        with zipfile.ZipFile(distribution) as wheel:
            name = next(name for name in wheel.namelist() if name.endswith(".dist-info/METADATA"))
            text = wheel.read(name).decode()
    else:
        with tarfile.open(distribution) as sdist:
            top = sdist.getmembers()[0].name.split("/")[0]
            text = sdist.extractfile(f"{top}/PKG-INFO").read().decode()
    return email.message_from_string(text)
