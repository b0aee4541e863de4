// The help texts of karvello-cli: the tool's and each command's.

#include "cli/cli_options.h"

namespace karvello::cli {
namespace {

constexpr std::string_view kToolHelp = R"(Usage: karvello-cli [OPTIONS] COMMAND [ARGS]
Talks Modbus RTU at 9600 baud 8N1 to grounding-resistance online detectors on a serial line.

Commands:
  set-address NEW        give the detector on the line the address NEW (1 to 255)
  query-address          ask the detector on the line for its address
  resistance -a ADDR     measure the resistance (19 s), then read it
  voltage -a ADDR        read the voltage
  scan [--from N] [--to M] [--wait MS]
                         find the detectors on the line by their addresses
  watch -a ADDR[,ADDR...] --every DURATION [--count N] [--resistance] [--voltage]
        [--alarm-above OHMS] [--mqtt URL] [--config FILE]
                         read at a fixed interval until stopped, publishing to a broker
  history [-a ADDR[,ADDR...]] [--since TIME] [--until TIME] [--operation OPERATION]
                         the readings in the record, oldest first
  COMMAND --help         the command's options

Options:
  -p, --port PORT        COM1 to COM16, numbered as the window numbers them (on Windows
                         up to COM256), or a device path (/dev/ttyUSB0); without it, the
                         first port that opens. Over the network:
                         rtu+tcp://HOST:PORT  a transparent serial server (the RTU frames
                                              as they are; every command)
                         tcp://HOST[:PORT]    a Modbus TCP gateway (port 502 unless given;
                                              no set-address nor query-address: no
                                              broadcasts)
  --connect-timeout MS   a network line: the wait for the connection, 1 to 60000 (3000)
  --pause-after-connect MS
                         a network line: the pause after connecting, 0 to 10000 (0)
  --pause MS             a network line: the pause between requests, 0 to 10000 (0)
  --list-ports           list the ports by number with the device behind each
  --format FORMAT        plain (the default), csv or json (one object per line)
  -v, --verbose          add the frames sent and received, in hexadecimal
  --no-record            do not add the outcomes to the shared record
  -h, --help             this help
  --version              the version

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
  7  watch --mqtt: the broker refused the login (the readings made until then recorded)
  8  standard output could not be written (a full disk, /dev/full): a watch or a scan ends
     after the exchange in progress, its outcomes recorded. A pipe closed by its reader
     (| head -1) is no failure: it ends a watch or a scan quietly as a stop does.
A scan in which no detector answered, and a watch whose --count rounds had no reading
answered, end with the most telling failure met: refused (4), then a corrupt or wrong reply
(5), then the line lost (6), then no reply (3).
)";

constexpr std::string_view kSetAddressHelp = R"(Usage: karvello-cli set-address NEW [OPTIONS]
Gives the detector on the line the address NEW, a whole number from 1 to 255: a broadcast write
of the address, then 0.3 s later a write to the new address, which the detector echoes. Have only
one detector on the line: every detector that hears the broadcast takes the address.
Prints "address NEW" when the detector confirms it.
)";

constexpr std::string_view kQueryAddressHelp = R"(Usage: karvello-cli query-address [OPTIONS]
Asks the detector on the line for its address (a broadcast read). Prints "address N".
)";

constexpr std::string_view kResistanceHelp = R"(Usage: karvello-cli resistance -a ADDR [OPTIONS]
Has the detector at ADDR (1 to 255) measure the grounding resistance, waits its 19 seconds (the
seconds left go to standard error when it is a terminal), then reads the result.
Prints the resistance in ohms ("34.5 Ω"), or "over range".
)";

constexpr std::string_view kVoltageHelp = R"(Usage: karvello-cli voltage -a ADDR [OPTIONS]
Reads the voltage of the detector at ADDR (1 to 255). Prints it in volts ("220 V").
)";

constexpr std::string_view kScanHelp =
    R"(Usage: karvello-cli scan [--from N] [--to M] [--wait MS] [OPTIONS]
Reads the address of each address from N to M (1 and 255 unless given) and the voltage of each
detector that answers as itself. Each address that gives anything but silence is a line.
  --from N     the first address, 1 to 255 (1)
  --to M       the last address, 1 to 255, not below N (255)
  --wait MS    the wait for each reply in milliseconds, 20 to 1300 (100)
Ctrl-C, SIGTERM or SIGHUP ends it after the exchange in progress. Exits 0 when a detector was
found; when none was, 4 if an address refused, else 5 if one gave a corrupt or wrong reply,
else 3 (all silent).
)";

constexpr std::string_view kWatchHelp =
    R"(Usage: karvello-cli watch -a ADDR[,ADDR...] --every DURATION [--count N] [--resistance] [--voltage] [OPTIONS]
Reads each address in turn at a fixed interval: the n-th round starts at the start time plus n
intervals, and a round that is due while the one before still runs is left out, so the readings
never drift nor bunch up. A failed reading is a line of output; the watch goes on. So does a
lost line (a pulled adapter, a dropped connection): each reading while it is gone is a line
"line lost" (result line-lost, no value), and the same device, COM number or network address
is opened again for each until it is back.
  -a ADDR,...        the detectors' addresses, 1 to 255
  --every DURATION   the interval: a whole number then ms, s, m or h (500ms, 10s, 5m, 1h),
                     at most a week (168h)
  --count N          stop after N rounds (default: until stopped)
  --voltage          read the voltage (the default)
  --resistance       measure the resistance (19 s each)
  --config FILE      read options from FILE, one a line with its value after it; "#" begins
                     a comment line (the service's /etc/karvello/watch-NAME.conf)
  --alarm-above OHMS raise an alarm after N resistances in a row above OHMS (over range is
                     above), clear it after N in a row at or below; each change is a line
                     and a row of the record (operation "alarm"); needs --resistance
  --alarm-after N    N for --alarm-above (2)
  --mqtt URL         publish each reading to an MQTT broker: mqtt://[USER[:PASSWORD]@]HOST[:PORT]
                     (1883) or mqtts://... (TLS, 8883); the password may come from
                     KARVELLO_MQTT_PASSWORD instead
  --mqtt-ca FILE     mqtts: trust the broker's certificate signed by the CA in FILE
  --site NAME        the site's name in the topics (default: the host name)
  --mqtt-topic PREFIX  the topics' prefix (default: karvello/SITE)
  --ha-discovery     announce each detector's sensors to Home Assistant
Topics: PREFIX/status ("online", "offline"), PREFIX/ADDRESS/voltage and .../resistance (the
object of --format json), PREFIX/ADDRESS/alarm; retained, QoS 1. Readings made while the broker
is away are kept, in order, and sent when it is back.
Ctrl-C, SIGTERM or SIGHUP (a closed terminal) ends it after the exchange in progress, with
status 0; a broker that refuses the login ends it with status 7. With --count and no reading
answered it ends with the most telling failure: 4, then 5, then 6, then 3.
)";

constexpr std::string_view kHistoryHelp =
    R"(Usage: karvello-cli history [-a ADDR[,ADDR...]] [--since TIME] [--until TIME] [--operation OPERATION] [OPTIONS]
Prints the rows of the shared record (of every Karvello program) oldest first, in the format of
a watch's lines: plain, --format csv or --format json; -v adds the frames. No port is opened.
  -a ADDR,...            only these detectors' addresses, 1 to 255
  --since TIME           only rows made at TIME or later
  --until TIME           only rows made at TIME or earlier
  --operation OPERATION  only resistance or only voltage
TIME is a date (2026-12-07: from the start of that day with --since, to its end with --until),
a date and time (2026-12-07T18:04, 2026-12-07 18:04:30.250, with +08:00 or Z for a time not in
local time), or a time back from now: a whole number then d, h, m or s (7d, 12h, 30m).
Exits 1 when (a file of) the record could not be read, after printing what could be.
)";

}  // namespace

std::string HelpText(Command command) {
  switch (command) {
    case Command::kSetAddress:
      return std::string(kSetAddressHelp);
    case Command::kQueryAddress:
      return std::string(kQueryAddressHelp);
    case Command::kResistance:
      return std::string(kResistanceHelp);
    case Command::kVoltage:
      return std::string(kVoltageHelp);
    case Command::kScan:
      return std::string(kScanHelp);
    case Command::kWatch:
      return std::string(kWatchHelp);
    case Command::kHistory:
      return std::string(kHistoryHelp);
    case Command::kNone:
      break;
  }
  return std::string(kToolHelp);
}

}  // namespace karvello::cli
