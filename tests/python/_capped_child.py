"""Scripts run in a child process whose address space is capped a little above what it uses, so
that an allocation larger than the headroom fails there at once, whatever the machine has, and
none is ever made."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

from quellmar import _native

# What every capped child runs first. cap_memory(headroom) caps the address space at `headroom`
# bytes above what the child uses when it calls it.
PRELUDE = textwrap.dedent("""
    import json, resource, sys
    import numpy as np
    from quellmar import _native

    def vm_bytes():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    def cap_memory(headroom):
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + headroom, hard))
""")


def run_capped_child(body, *args):
    """Runs PRELUDE and then `body`, which prints one JSON object, in a child process given
    `args` (sys.argv[1:]); expects it to succeed and returns the object."""
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1",
               PYTHONPATH=os.pathsep.join(
                   [str(Path(_native.__file__).resolve().parents[1]), os.environ.get(
                       "PYTHONPATH", "")]))
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body), *map(str, args)],
        env=env, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)
