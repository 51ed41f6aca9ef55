// The delivery as the crash flow below it sees it: one call that joins them.
#pragma once

namespace delivery {

// Installs every hook the crash flow asks of the delivery (kestrum::DeliveryHooks): saving to the
// bug report file, sending and printing, the assistants, the screenshot, the please-wait window
// and the stored passwords' cipher. Call once, before the component is installed.
void InstallDelivery();

}  // namespace delivery
