# SPDX-License-Identifier: MIT
"""A slot's sample layout, as the library learnt it from the configuration commands."""
from __future__ import annotations

from typing import NamedTuple

from . import _library


class Layout(NamedTuple):
    """What each stream sample holds (kelvoGetLayout).

    Attributes
    ----------
    kind : str
        ``"none"`` before any layout command, ``"adc24"`` after
        ``CONFigure:DEVice k``, ``"adc16"`` after ``CONFigure:DEVice
        0,a,i,e1,e2``, ``"scan_list"`` after ``CONFigure:SCAn:LISt``.
    sample_size : int
        Bytes per sample.
    channel_count : int
        Values per sample: the columns :meth:`kelvo.Device.read` returns.
    oversampling : int
        The ADC oversampling factor.
    n_adc24 : int
        24-bit channels (``"adc24"``).
    n_adc16 : int
        16-bit ADC channels before oversampling (``"adc16"``).
    n_imu6 : int
        Six-axis inertial units (``"adc16"``).
    n_extra : int
        Extra 16-bit words (``"adc16"``).
    has_counter : bool
        Whether each sample begins with a 32-bit sample counter.
    """

    kind: str
    sample_size: int
    channel_count: int
    oversampling: int
    n_adc24: int
    n_adc16: int
    n_imu6: int
    n_extra: int
    has_counter: bool

    @classmethod
    def from_record(cls, record: _library.Layout) -> Layout:
        kind = _library.LAYOUT_KINDS.get(record.kind, f"kind {record.kind}")
        return cls(kind, record.sampleSize, record.channelCount, record.oversampling, record.nAdc24, record.nAdc16,
                   record.nImu6, record.nExtra, bool(record.hasCounter))
