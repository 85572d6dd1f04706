"""Points the virtual environment at the build tree: writes quennel-dev.pth into its site-packages."""
import sys
import sysconfig
from pathlib import Path

pth = Path(sysconfig.get_paths()["purelib"]) / "quennel-dev.pth"
text = "".join(f"{p}\n" for p in sys.argv[1:])
if not pth.exists() or pth.read_text() != text:
    pth.write_text(text)
