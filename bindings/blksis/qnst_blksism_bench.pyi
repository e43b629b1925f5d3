from typing import Optional, Tuple

from qnst_bdb import qnst_txn
from qnst_blksism import pyBlkSIS

def lookup_loop(store: pyBlkSIS, txn: Optional[qnst_txn], hash: bytes, hashlen: int,
                n: int) -> Tuple[int, int, int]: ...
