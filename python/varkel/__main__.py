from varkel._cli import main

raise SystemExit(main(prog="python -m varkel"))
