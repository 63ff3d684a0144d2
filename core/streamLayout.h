// Learning a slot's stream layout from the configuration commands that pass
// through kelvoSendCmd.
#pragma once

namespace kelvo {

// Applies, in this order, whichever of the oversampling, device layout and
// scan list commands `command` is taken as. One command can match more than
// one header (the short form of any node may end it); the scan list has the
// last word on the sample size.
void learnStreamLayout(int dev, const char *command);

}  // namespace kelvo
