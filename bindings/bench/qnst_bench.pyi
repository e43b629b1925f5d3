from typing import Optional, Tuple

from qnst_bdb import qnst_txn
from qnst_blksism import pyBlkSIS
from qnst_inode import pyInode

def lookup_loop(store: pyBlkSIS, txn: Optional[qnst_txn], hash: bytes, hashlen: int,
                n: int) -> Tuple[int, int, int]: ...
def bmap_lookup_loop(inode: pyInode, txn: Optional[qnst_txn], offset: int, ver: int,
                     n: int) -> Tuple[int, int, int]: ...
