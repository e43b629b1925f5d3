"""qnst-backup: a deduplicating backup tool on the qnst64 storage engine.

Run it as ``python3 -m qnst_backup`` (or scripts/qnst-backup); ``--help`` lists the commands."""
