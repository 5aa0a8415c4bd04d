from tarnwik_cli.cli import main

raise SystemExit(main())
