from kilnguard_watch.cli import main

raise SystemExit(main())
