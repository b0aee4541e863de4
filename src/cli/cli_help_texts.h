#pragma once
// The prose of karvello-cli's help: the tool's, and each command's before and after its options.

#include <string_view>

namespace karvello::cli {

// set-address, before its options.
inline constexpr std::string_view kSetAddressHelp =
    R"(Gives the detector on the line the address NEW, a whole number from 1 to 255: a broadcast write
of the address, then 0.3 s later a write to the new address, which the detector echoes. Have only
one detector on the line: every detector that hears the broadcast takes the address.
Prints "address NEW" when the detector confirms it.
)";

// query-address, before its options.
inline constexpr std::string_view kQueryAddressHelp =
    R"(Asks the detector on the line for its address (a broadcast read). Prints "address N".
)";

// resistance, before its options.
inline constexpr std::string_view kResistanceHelp =
    R"(Has the detector at ADDR (1 to 255) measure the grounding resistance, waits its 19 seconds (the
seconds left go to standard error when it is a terminal), then reads the result.
Prints the resistance in ohms ("34.5 Ω"), or "over range".
)";

// voltage, before its options.
inline constexpr std::string_view kVoltageHelp =
    R"(Reads the voltage of the detector at ADDR (1 to 255). Prints it in volts ("220 V").
)";

// scan, before its options.
inline constexpr std::string_view kScanHelp =
    R"(Reads the address of each address from N to M (1 and 255 unless given) and the voltage of each
detector that answers as itself. Each address that gives anything but silence is a line.
)";

// scan, after its options.
inline constexpr std::string_view kScanAfter =
    R"(Ctrl-C, SIGTERM or SIGHUP ends it after the exchange in progress. Exits 0 when a detector was
found; when none was, 4 if an address refused, else 5 if one gave a corrupt or wrong reply,
else 3 (all silent).
)";

// watch, before its options.
inline constexpr std::string_view kWatchHelp =
    R"(Reads each address in turn at a fixed interval: the n-th round starts at the start time plus n
intervals, and a round that is due while the one before still runs is left out, so the readings
never drift nor bunch up. A failed reading is a line of output; the watch goes on. So does a
lost line (a pulled adapter, a dropped connection): each reading while it is gone is a line
"line lost" (result line-lost, no value), and the same device, COM number or network address
is opened again for each until it is back. A detector that fails --dead-after readings in a
row is set aside: read every 2nd round, then 4th, ... up to every --dead-retry-th, and every
round again once it answers (a line "set-aside begun", then "ended"); its no-answer alarm is
raised with it (a lost line's readings count too) and cleared by its next answer. A round that
may take longer than --every is said at the start, and each round left out as it happens.
)";

// watch, after its options.
inline constexpr std::string_view kWatchAfter =
    R"(Topics: PREFIX/status ("online", "offline"), PREFIX/ADDRESS/voltage and .../resistance (the
object of --format json), PREFIX/ADDRESS/alarm; retained, QoS 1. Readings made while the broker
is away are kept, in order, and sent when it is back.
With --http: the site's page at /, the same as JSON at /api/status, Prometheus metrics at
/metrics and /healthz (200 "ok", or 503 and why); GET and HEAD only, nothing else changes.
Listen beyond 127.0.0.1 only on the plant's own network.
Ctrl-C, SIGTERM or SIGHUP (a closed terminal) ends it after the exchange in progress, with
status 0; a broker that refuses the login, or whose TLS certificate cannot be verified, ends it
with status 7. With --count and no reading answered it ends with the most telling failure: 4,
then 5, then 6, then 3.
--modbus-server: functions 3 and 4 read, at unit ADDRESS, 0x000D-0x000F and 0x0012 as the
detector gives them (exception 0x0B while its last reading failed) and the quality block
0x0100-0x0111 (state 0 good, 1 OL, 2 none yet, 3 failed, 4 line lost; value, age, counts; the
no-answer alarm, seconds set aside); at unit 0 the gateway 0x0000-0x0009. Nothing is written,
nothing sent on the line for it; at most 16 connections, each closed after 60 s idle. An
address it cannot listen at ends it with status 2.
)";

// history, before its options.
inline constexpr std::string_view kHistoryHelp =
    R"(Prints the rows of the shared record (of every Karvello program) oldest first, in the format of
a watch's lines: plain, --format csv or --format json; -v adds the frames. No port is opened:
-p PORT keeps the rows of that port. A reply that came twice or late is marked "again".
)";

// history, after its options.
inline constexpr std::string_view kHistoryAfter =
    R"(TIME is a date (2026-12-07: from the start of that day with --since, to its end with --until),
a date and time (2026-12-07T18:04, 2026-12-07 18:04:30.250, with +08:00 or Z for a time not in
local time), or a time back from now: a whole number then d, h, m or s (7d, 12h, 30m).
Exits 1 when (a file of) the record could not be read, after printing what could be.
)";

// The tool, before its commands.
inline constexpr std::string_view kToolAbout =
    R"(Talks Modbus RTU at 9600 baud 8N1 to grounding-resistance online detectors on a serial line.
)";

// The tool, after its options.
inline constexpr std::string_view kToolAfter =
    R"(
Addresses are whole numbers from 1 to 255.

Exit status:
  0  the detector answered (watch: stopped, or its --count rounds done with a reading
     answered; scan: a detector found, or stopped; history: the record read)
  1  history: the record, or one of its files, could not be read
  2  bad usage: nothing was sent
  3  no reply in time (scan: no detector answered, nor any address gave a reply)
  4  the detector refused (a Modbus exception reply)
  5  a corrupt or wrong reply
  6  the port unavailable: none opens, the one named does not, or the line was lost (a watch
     rides out a lost line)
  7  watch --mqtt: the broker refused the login, or its TLS certificate could not be verified
     (the readings made until then recorded)
  8  standard output could not be written (a full disk, /dev/full): a watch or a scan ends
     after the exchange in progress, its outcomes recorded. A pipe closed by its reader
     (| head -1) is no failure: it ends a watch or a scan quietly as a stop does.
  9  watch --mqtt --count: its rounds done, messages left that the broker never
     acknowledged (never reached, or not back in time), said on standard error
A scan in which no detector answered, and a watch whose --count rounds had no reading
answered, end with the most telling failure met: refused (4), then a corrupt or wrong reply
(5), then the line lost (6), then no reply (3).
)";

}  // namespace karvello::cli
