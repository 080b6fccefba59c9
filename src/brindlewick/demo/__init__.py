"""The brindlewick demo: a small application served on granian or uvicorn.

Run it with ``python -m brindlewick.demo`` (``--help`` lists the options);
``brindlewick.demo.app`` holds the routes and the RSGI and ASGI applications.
"""

from pathlib import Path

# The sample directory served under /files/ unless --files names another, and
# the variable that hands the chosen directory to the server's workers.
SAMPLE_FILES = Path(__file__).resolve().parent / "files"
FILES_ENV = "BRINDLEWICK_DEMO_FILES"
# The body limit the launcher's --max-body-size hands to the server's
# workers: a number of bytes, or "none" for no limit (unset: the default).
MAX_BODY_ENV = "BRINDLEWICK_DEMO_MAX_BODY_SIZE"
