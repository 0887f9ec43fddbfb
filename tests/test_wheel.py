"""The binary wheel as a user gets it: `make wheel`, installed into a fresh
virtual environment outside the checkout, libcurl loaded from the wheel's
own library folder, and the demo run from there."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.integration,
    pytest.mark.skipif(os.environ.get("KILNGUARD_SANITIZED") == "1",
                       reason="the sanitizer run tests the sanitized build, not a release wheel"),
    pytest.mark.skipif(not (ROOT / "Makefile").is_file() or shutil.which("make") is None,
                       reason="needs the checkout's Makefile and make"),
]

# Which libcurl file a process that imported the extension has mapped.
SHOW_LIBCURL = """
import os, kilnguard
paths = {line.split()[-1] for line in open("/proc/self/maps")
         if os.path.basename(line.split()[-1]).startswith("libcurl")}
print("\\n".join(sorted(paths)))
"""


def clean_env(**extra):
    # Nothing of the checkout or the test's own interpreter may leak in.
    return {"PATH": "/usr/bin:/bin", "HOME": os.environ.get("HOME", "/root"), **extra}


def pip_env():
    # pip still finds its index the way it was told to on this machine.
    return clean_env(**{name: value for name, value in os.environ.items()
                        if name.startswith("PIP_") or name.lower().endswith("_proxy")})


def test_wheel_carries_libcurl_and_runs_the_demo(tmp_path):
    made = subprocess.run(["make", "--no-print-directory", "wheel"], cwd=ROOT, capture_output=True,
                          text=True, timeout=1800)
    assert made.returncode == 0, made.stdout[-3000:] + made.stderr[-3000:]
    wheels = sorted((ROOT / "build" / "wheelhouse").glob("kilnguard-*.whl"))
    assert len(wheels) == 1 and "-manylinux_" in wheels[0].name, wheels

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = venv / "bin" / "python"
    installed = subprocess.run([str(python), "-m", "pip", "install", "--quiet", str(wheels[0])],
                               capture_output=True, text=True, cwd=tmp_path, env=pip_env(),
                               timeout=600)
    assert installed.returncode == 0, installed.stderr[-3000:]

    mapped = subprocess.run([str(python), "-c", SHOW_LIBCURL], check=True, capture_output=True,
                            text=True, cwd=tmp_path, env=clean_env(), timeout=60).stdout.split()
    site = pathlib.Path(subprocess.run(
        [str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
        check=True, capture_output=True, text=True, env=clean_env(), timeout=60).stdout.strip())
    assert len(mapped) == 1, mapped
    libcurl = pathlib.Path(mapped[0])
    assert libcurl.parent == site / "kilnguard.libs", mapped

    demo = subprocess.run([str(venv / "bin" / "kilnguard-watch"), "--demo"], capture_output=True,
                          text=True, cwd=tmp_path, env=clean_env(), timeout=300)
    assert demo.returncode == 0, demo.stderr
    assert "[burn] startup snapshot sent (129 subnets)\n" in demo.stderr
    assert "Owner burn rate changed" in demo.stdout
