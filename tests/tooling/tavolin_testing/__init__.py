"""What the tests, the benchmarks, the fuzz seeds and the tour share: an
independent writer of encrypted containers (`container_writer`) and the master
key their containers are sealed with.

Importable wherever this project's tools run: pytest puts this folder on the
path (pyproject.toml's `pythonpath`), scripts/setup.sh puts it into .venv's
site-packages as a .pth file, and the wheel checks set PYTHONPATH to it."""

KEY = bytes(range(32))
