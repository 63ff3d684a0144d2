/* SPDX-License-Identifier: MIT */
/* kelvo_lowlevel.h compiles as plain C99 too, and its names link. */
#include <kelvo_lowlevel.h>
#include <stdio.h>

int main(void) {
    SCPIdecoderState decoder;
    ByteRing ring = {0, 0, NULL, 0};
    const char *block = "#13abc\n";
    int payload = 0;
    SCPIdecoderReset(&decoder);
    for (const char *c = block; *c != '\0'; ++c) payload += SCPIdecoder(&decoder, *c);
    if (payload != 3) return 1;
    if (myPorts[0] != -1 || filtInfo[0].oversampling < 0 || versionInfo != kelvoGetVersion()) return 2;
    if (readFromSerialPort(-1, &ring, 1) != 0 || isSerialPortDisconnected(-1) != 0) return 3;
    buildErrMsg(9, "ignored", "slot outside 0..3");
    puts("C low-level client ok");
    return 0;
}
