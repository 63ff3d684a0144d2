/* The public header compiles as plain C, and a C program links and runs. */
#include <kelvo.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    int length = 0, binary = 1;
    SCPIdecoderState decoder;
    ByteRing ring = {0, 0, NULL, 0};
    FiltInfo info = {0, 0, 0, 0, 0, 0};
    (void)ring;
    (void)info;
    SCPIdecoderReset(&decoder);
    if (strcmp(kelvoGetVersion(), "1.2.0.2") != 0) return 1;
    if (kelvoSendCmd(7, "*IDN?", &length, &binary) != NULL || binary != 0) return 2;
    puts("C client ok");
    return 0;
}
