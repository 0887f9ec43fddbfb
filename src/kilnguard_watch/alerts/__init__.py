"""What each chat is told after a pass: its own subnets, threshold and level
rules, measured against the rates it was last told."""
