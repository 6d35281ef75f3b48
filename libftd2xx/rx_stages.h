// Time stamps of one bulk-in transfer's way through the receive engine, for
// the stage-breakdown benchmark (bench/receive_stages.cpp), which builds the
// library with FTD2XX_RX_STAGES and supplies RxStageMark. In every other
// build the marks compile to nothing.
#pragma once

namespace d2xx {

// In the order a slot passes them; after kFreed the slot starts over.
enum class RxStage {
    kReaderWake,     // the reader found the slot free
    kSubmitted,      // libusb_submit_transfer returned
    kCompleted,      // the completion callback ran
    kProcessorWake,  // the processor found the slot done
    kParsed,         // the transfer's payload is in the ring
    kFreed,          // the slot was handed back to the reader
};
constexpr int kRxStageCount = 6;

}  // namespace d2xx

#ifdef FTD2XX_RX_STAGES
namespace d2xx {
void RxStageMark(int slot, RxStage stage);
}
#define RX_STAGE(slot, stage) ::d2xx::RxStageMark(static_cast<int>(slot), ::d2xx::RxStage::stage)
#else
#define RX_STAGE(slot, stage) static_cast<void>(0)
#endif
