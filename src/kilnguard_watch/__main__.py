from kilnguard_watch.cli.main import main

raise SystemExit(main())
