# SPDX-License-Identifier: MIT
"""The message bus between processes on one machine (kelvo-busd makes it)."""
from __future__ import annotations

import ctypes
import time
from typing import Literal

from . import _library
from .errors import InvalidArgument, KelvoError, Timeout

_MAILBOX = 256
_POLL = 0.001


class Bus:
    """This process's place on the message bus: the master or one of four slaves.

    Make one with :meth:`Bus.master` or :meth:`Bus.slave`; use it as a
    context manager (or call :meth:`close`) to give the place back. Texts
    are cut at 255 characters; each mailbox holds one message.

    Attributes
    ----------
    role : str
        ``"master"`` or ``"slave"``.
    index : int
        A slave's index, 0 to 3 (the master's handle, 0, for the master).
    """

    def __init__(self, role: Literal["master", "slave"]) -> None:
        lib = _library.library()
        if role not in ("master", "slave"):
            raise InvalidArgument(f"a bus role is 'master' or 'slave', not {role!r}")
        if lib.tMsgInit() != 0:
            raise KelvoError("no message bus: none is announced in /tmp/xyzServer.id (start kelvo-busd)")
        index = lib.tMsgRegisterAsMaster() if role == "master" else lib.tMsgRegisterAsSlave()
        if index < 0:
            raise KelvoError("the bus has a master already" if role == "master" else "all four slave places are taken")
        self.role = role
        self.index = index
        self._lib = lib
        self._buffer = ctypes.create_string_buffer(_MAILBOX)
        self._open = True

    @classmethod
    def master(cls) -> Bus:
        """Register as the bus's master."""
        return cls("master")

    @classmethod
    def slave(cls) -> Bus:
        """Register as a slave; :attr:`index` tells which."""
        return cls("slave")

    def __enter__(self) -> Bus:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<kelvo.Bus {self.role} {self.index}{'' if self._open else ' closed'}>"

    def close(self) -> None:
        """Give the place on the bus back. Closing twice does nothing."""
        if self._open:
            self._open = False
            if self.role == "master":
                self._lib.tMsgUnregisterAsMaster(self.index)
            else:
                self._lib.tMsgUnregisterAsSlave(self.index)

    def _check(self, slave: int | None) -> None:
        if not self._open:
            raise KelvoError("the bus place is closed")
        if slave is not None and (not isinstance(slave, int) or not 0 <= slave <= 3):
            raise InvalidArgument(f"a slave index is 0 to 3, not {slave!r}")

    def send(self, text: str, slave: int | None = None) -> int:
        """Send `text`: a slave sends to the master; the master to slave
        `slave`, or to every registered slave when `slave` is None.

        Returns
        -------
        int
            The slave index sent to, or (to all slaves) how many were offered it.

        Raises
        ------
        KelvoError
            The mailbox is full or closed, or there is no master.
        """
        self._check(slave)
        encoded = _library.encode(text, "message")
        if self.role == "slave":
            result: int = self._lib.tMsgSendMsgToMaster(encoded, self.index)
            where = "the master"
        elif slave is None:
            result = self._lib.tMsgSendMsgToAllSlaves(encoded)
            where = "the slaves"
        else:
            result = self._lib.tMsgSendMsgToSlave(encoded, slave)
            where = f"slave {slave}"
        if result < 0:
            raise KelvoError(f"cannot send to {where}: its mailbox is full or closed")
        return result

    def receive(self, slave: int = 0, timeout: float = 0.0) -> str | None:
        """Take the next message: a slave's from the master, the master's from slave `slave`.

        Parameters
        ----------
        slave : int
            For the master: which slave's mailbox to read.
        timeout : float
            Seconds to wait for a message (sleeping); 0 looks once.

        Returns
        -------
        str or None
            None when no message came.
        """
        self._check(slave)
        deadline = time.monotonic() + timeout
        while True:
            if self.role == "slave":
                taken = self._lib.tMsgGetMasterMsg(self._buffer, self.index)
            else:
                taken = self._lib.tMsgGetSlaveMsg(self._buffer, slave)
            if taken >= 0:
                return self._buffer.value.decode(errors="replace")
            if time.monotonic() >= deadline:
                return None
            time.sleep(_POLL)

    def wait(self, slave: int = 0, timeout: float = 1.0) -> str:
        """As :meth:`receive`, but raise :class:`Timeout` when nothing came."""
        message = self.receive(slave, timeout)
        if message is None:
            raise Timeout(f"no bus message within {timeout} s")
        return message

    def stamps(self, slave: int | None = None) -> tuple[int, int, int, int]:
        """Send and receive stamps (ticks) of the mailbox this place writes to, then of the one it reads.

        For the master, `slave` picks the slave's pair of mailboxes (default 0).
        """
        self._check(slave)
        values = (ctypes.c_int64 * 4)()
        index = self.index if self.role == "slave" else (slave or 0)
        if self._lib.tMsgGetTimeStamps(values, index) != 0:
            raise KelvoError("the bus gave no stamps")
        return tuple(values)  # type: ignore[return-value]
