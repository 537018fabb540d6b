# The same seed packages as the info target.
import os, runpy, sys
runpy.run_path(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "info", "seeds.py"), run_name="__main__")
