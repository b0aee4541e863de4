#pragma once
// Modbus TCP in front of the RTU detectors, as a gateway gives it. A request is an ADU: the MBAP
// header (transaction id, protocol id 0, length of what follows, unit id; 16-bit fields high byte
// first), then the PDU, no CRC. The unit id is the detector's address: the RTU request is unit id,
// PDU and CRC. The answer carries the request's transaction id and unit id and the PDU of the
// detector's reply; when no detector gives a reply the gateway can pass on (none, a wrong CRC,
// detectors answering over one another) it sends nothing, as a transparent device whose target
// timed out, or, when told to, exception 0x0B "gateway target device failed to respond", except
// to a broadcast (unit id 0), which expects no answer.
//
// Faults: no-reply silences the detector; exception and other-address (the unit id changed) make
// the answer; bad CRC and flipped bits spoil the RTU reply, which the gateway then does not pass
// on; split, trickle, twice, delay, pause, noise, extra, truncate and stray bytes work on the ADU
// on the TCP stream as on a serial line.

#include <cstdint>
#include <span>
#include <vector>

#include "framing/mbap.h"
#include "sim/bus.h"
#include "sim/faults.h"

namespace karvello::sim {

inline constexpr std::uint8_t kGatewayTargetFailed = 0x0B;

// The pieces of the gateway's answer to `adu`, from the `replies` its detectors gave the RTU
// request, each with its fault. `pacing`: the answer waits for the request and the reply to cross
// the 9600-baud line behind the gateway. Empty when nothing is sent.
std::vector<Piece> GatewayAnswer(std::span<const std::uint8_t> adu, std::vector<Reply> replies,
                                 bool gatewayExceptions, bool pacing);

}  // namespace karvello::sim
