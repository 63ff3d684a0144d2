# SPDX-License-Identifier: MIT
"""Queries, uploads and configuration, and the errors they raise."""
from __future__ import annotations

import ctypes
import zlib

import pytest

import kelvo


def test_query_returns_the_answer_text(device):
    assert device.query("*IDN?") == "kelvo,simulated DAQ-4,SIM0001,1.0"
    assert device.query("*CLS") == ""  # no '?': nothing to wait for
    assert device.query("CONFigure:DEVice?", timeout=2.5) == "0,3"


def test_query_binary_returns_the_block_payload(device):
    payload = bytes(range(256)) * 3 + b"\r\n\n#"
    assert device.upload(payload) == f"ACK 772 bytes, crc32 0x{zlib.crc32(payload):08x}"
    assert device.query_binary("DATA:UPLoad?") == payload
    with pytest.raises(kelvo.KelvoError, match="binary block of 772 bytes; use query_binary"):
        device.query("DATA:UPLoad?")
    with pytest.raises(kelvo.KelvoError, match="text, not a block: 'kelvo,simulated"):
        device.query_binary("*IDN?")
    assert device.query("*IDN?").startswith("kelvo,")  # nothing left behind


def test_an_unanswered_query_raises_timeout_with_the_library_text(device):
    with pytest.raises(kelvo.Timeout) as caught:
        device.query("NOT:A:QUERY?", timeout=0.2)
    assert str(caught.value) == (f"{device.name}: 'NOT:A:QUERY?': kelvoQuery(dev={device.slot}):"
                                 "no complete answer within 200 ms")
    assert isinstance(kelvo.Timeout("x"), TimeoutError)


def test_configure_sets_the_layout_the_properties_report(device):
    assert device.sample_size == 0  # the library knows no layout before one is set
    assert device.configure("CONFigure:DEVice 4") is device
    assert device.sample_size == 20
    assert device.layout == kelvo.Layout(kind="adc24", sample_size=20, channel_count=4, oversampling=1, n_adc24=4,
                                         n_adc16=0, n_imu6=0, n_extra=0, has_counter=True)
    assert device.channel_names == ["Adc24_1", "Adc24_2", "Adc24_3", "Adc24_4"]
    device.configure("CONFigure:SCAn:OVErsampling 2", "CONFigure:DEVice 0,2,1,1")
    assert device.sample_size == 2 * (2 * 2 + 6 + 1)
    layout = device.layout
    assert (layout.kind, layout.oversampling, layout.n_adc16, layout.n_imu6, layout.n_extra) == ("adc16", 2, 2, 1, 1)
    assert layout.channel_count == len(device.channel_names) == 11 and not layout.has_counter
    device.configure("CONFigure:SCAn:LISt (@1,5)")
    assert device.layout.kind == "scan_list" and device.layout.has_counter


def test_configure_raises_the_device_error_for_a_typo_and_stops_there(device):
    assert device.check_errors() is None
    with pytest.raises(kelvo.DeviceError) as caught:
        device.configure("CONFigure:DEVice 2", "CONFigure:DEVise 3", "CONFigure:DEVice 5")
    assert caught.value.command == "CONFigure:DEVise 3"
    assert caught.value.errors == ['-113,"Undefined header"']
    assert "refused 'CONFigure:DEVise 3': -113,\"Undefined header\"" in str(caught.value)
    assert device.query("CONFigure:DEVice?") == "2"  # the command after the typo was not sent
    with pytest.raises(kelvo.DeviceError, match="-222,\"Data out of range\""):
        device.configure("CONFigure:SCAn:LISt (@1,17)")


def test_configure_ignores_errors_left_by_earlier_commands(device):
    with pytest.raises(kelvo.Timeout):
        device.query("TYPO?", timeout=0.2)  # leaves -113 queued in the device
    device.configure("CONFigure:DEVice 1")
    assert device.sample_size == 8


def test_check_errors_reads_the_device_queue_and_refuses_while_streaming(device):
    for command in ("TYPO1", "CONFigure:SCAn:LISt (@1,17)"):
        device.query(command)
    # The first error, as the device sent it; the rest go with it.
    assert device.check_errors() == '-113,"Undefined header"'
    assert device.check_errors() is None
    device.configure("CONFigure:DEVice 1")
    with device.stream():
        with pytest.raises(kelvo.KelvoError, match="SYSTem:ERRor"):
            device.check_errors()


def test_the_library_refuses_a_query_while_streaming(device):
    device.configure("CONFigure:DEVice 1")
    with device.stream():
        with pytest.raises(kelvo.KelvoError, match=rf"kelvoQuery\(dev={device.slot}\):slot is streaming"):
            device.query("*IDN?")
    assert device.query("*IDN?").startswith("kelvo,")


@pytest.mark.parametrize("call", [
    lambda d: d.query(b"*IDN?"),
    lambda d: d.query("*IDN?\0"),
    lambda d: d.query("*IDN?", timeout=0),
    lambda d: d.query("*IDN?", timeout="1"),
    lambda d: d.configure(42),
    lambda d: d.upload(b""),
    lambda d: d.upload("text"),
    lambda d: d.read(-1),
    lambda d: d.read(1.5),
    lambda d: d.read(timeout=-1),
    lambda d: d.decode(b"\0" * 5),
    lambda d: d.read(2, out=__import__("numpy").zeros((2, 3), "float64")),
    lambda d: kelvo.open(3),
    lambda d: kelvo.plot(d, span="wide"),
])
def test_bad_arguments_raise_kelvo_errors_not_ctypes_ones(device, call):
    device.configure("CONFigure:DEVice 3")
    with pytest.raises(kelvo.InvalidArgument) as caught:
        call(device)
    assert not isinstance(caught.value, ctypes.ArgumentError)
    assert device.query("*OPC?") == "1"
