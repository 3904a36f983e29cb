// tessmar: list, send, monitor, play, configure and measure Tessmar ports
// from a console. One table names the commands, their routines and their
// help.
#include "tools/tessmar/tessmar.h"
#include <shellapi.h>
#include <stdio.h>

namespace {

struct Command {
    const char *name;
    int (*run)(Args &args);
    const char *summary;
    const char *help;
};

const char DriverOption[] =
    "  --dll PATH     load this Tessmar.dll directly instead of going through the\n"
    "                 system's MIDI (winmm); for a build that is not installed\n";

const Command Commands[] = {
    {"list", ListCommand, "the input and output ports, their shows, groups and transport",
     "usage: tessmar list [--dll PATH]\n"
     "Lists Tessmar's input and output ports with their device numbers, names,\n"
     "shows and groups, and where output goes (UDP broadcast address or TCP peer).\n"},
    {"send", SendCommand, "send MIDI messages to an output port",
     "usage: tessmar send --port NAME [--verbose] [--dll PATH] MESSAGE...\n"
     "       tessmar send --port NAME [--dll PATH] -      (messages from standard input)\n"
     "Messages (several per call; numbers decimal, bytes hex):\n"
     "  ch N               channel 1-16 for the messages after it (default 1)\n"
     "  on NOTE VEL        note on; NOTE is 0-127 or a name (C3 = 60, F#4, Bb-1)\n"
     "  off NOTE VEL       note off\n"
     "  cc NUMBER VALUE    control change\n"
     "  pc NUMBER          program change (0-127)\n"
     "  pb VALUE           pitch bend, -8192..8191\n"
     "  at VALUE           channel pressure\n"
     "  pp NOTE VALUE      polyphonic key pressure\n"
     "  syx BYTES...       system exclusive, hex data without F0 and F7\n"
     "  syf FILE.syx       the system-exclusive messages of a file\n"
     "  raw BYTES...       complete messages as hex bytes\n"
     "  panic              all notes off on every channel\n"
     "  +MS                wait MS milliseconds\n"
     "  @MS                (from monitor logs) send at MS after the first @\n"
     "Everything is checked before the first message goes; '#' starts a comment.\n"
     "  --verbose, -v      print each message as it goes, as monitor would show it\n"
     "With -, standard input holds one message per line (a monitor log works).\n"},
    {"monitor", MonitorCommand, "print what arrives at an input port",
     "usage: tessmar monitor --port NAME [--count N] [--timeout SECONDS] [--json] [--dll PATH]\n"
     "Prints one line per message: the driver's time stamp (@ms) and the message\n"
     "in the tokens that send takes, so a log can be sent again. System exclusive\n"
     "shows its bytes and length; the driver's error reports follow a '#'.\n"
     "  --count N        exit 0 after N messages\n"
     "  --timeout S      exit 1 when S seconds pass first\n"
     "  --json           one JSON object per line\n"
     "Ctrl+C ends it cleanly (exit 0 unless --count was not reached).\n"},
    {"play", PlayCommand, "play a Standard MIDI File into an output port",
     "usage: tessmar play --port NAME [--dll PATH] FILE.mid\n"
     "Plays a Standard MIDI File (format 0 or 1) with its tempo map, showing\n"
     "progress. Ctrl+C stops it and silences every channel.\n"},
    {"config", ConfigCommand, "show or change the ports, shows, transport and debug level",
     "usage: tessmar config                                 show the configuration\n"
     "       tessmar config add in|out NAME --show SHOW --groups LIST\n"
     "       tessmar config change NAME [--name NEW] [--show SHOW] [--groups LIST]\n"
     "       tessmar config remove NAME\n"
     "       tessmar config transport udp [ADDRESS]         UDP broadcast; ADDRESS picks\n"
     "                                                      the network card\n"
     "       tessmar config transport tcp ADDRESS           one TCP connection to ADDRESS\n"
     "       tessmar config debug LEVEL                     0 off, 1-4 debugger, 5-8 file\n"
     "LIST is groups 1-32 such as 1,2,5-8. The Configurator's rules apply. Programs\n"
     "see a change when they next load the driver.\n"},
    {"bench", BenchCommand, "measure latency and throughput to another machine",
     "usage: tessmar bench --port NAME [--in NAME] [--rounds N] [--bytes N] [--dll PATH]\n"
     "       tessmar bench --echo --port NAME [--in NAME] [--timeout S] [--dll PATH]\n"
     "Run --echo on the far machine first. The near side sends notes on channel 1\n"
     "to output port NAME and times the echo on channel 16 arriving at input\n"
     "port --in (default: the input port of the same name): half the round trip\n"
     "is the one-way latency. Then it sends --bytes of system exclusive (default\n"
     "1 MiB) and times the far side's acknowledgement.\n"},
    {"install", InstallCommand, "register the driver on this machine (administrator)",
     "usage: tessmar install [--dll PATH]\n"
     "Runs the driver's own installer for the Tessmar.dll beside this program (or\n"
     "PATH): it copies the library into the system folder and enters it as a MIDI\n"
     "driver and a Control Panel applet. Then registers the device that keeps the\n"
     "driver registered across Windows updates, adds an inbound firewall rule for\n"
     "port 12555, and installs the 32-bit driver with x86\\tessmar.exe if present.\n"},
    {"remove", RemoveCommand, "remove the driver and everything of it from this machine",
     "usage: tessmar remove [--dll PATH]\n"
     "Undoes install: the MIDI driver and Control Panel entries, the library in\n"
     "the system folder (a copy still in use goes at the next restart), the\n"
     "device registration, the firewall rule and the stored configuration.\n"},
    {"repair", RepairCommand, "put back what is missing of the registration",
     "usage: tessmar repair [--dll PATH]\n"
     "Finds what is missing (the library, the MIDI driver entry, the Control\n"
     "Panel entry, the device registration, the firewall rule, the 32-bit\n"
     "driver) and restores only that: after a Windows update, or after the MIDI\n"
     "service's registry repair removed the driver's entry.\n"},
    {"status", StatusCommand, "what is registered, and the machine's MIDI mode",
     "usage: tessmar status [--quiet]\n"
     "Says which pieces of the registration are present, which MIDI mode the\n"
     "machine is in (UseLegacyMidi), and what to do about anything missing.\n"
     "Exit code 0 when everything is present, 1 when something is missing.\n"},
};

void Usage(FILE *out)
{
    fprintf(out, "usage: tessmar COMMAND [OPTIONS]   (tessmar COMMAND --help for more)\n");
    for (const Command &command : Commands) fprintf(out, "  %-9s %s\n", command.name, command.summary);
    fputs("Options for every command that talks to the driver:\n", out);
    fputs(DriverOption, out);
}

BOOL WINAPI OnConsoleStop(DWORD)
{
    SetEvent(StopEvent);
    return TRUE;
}

}  // namespace

int main()
{
    int argc = 0;
    WCHAR **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) {
        Usage(stderr);
        return ExitUsage;
    }
    std::string name = Utf8(argv[1]);
    if (name == "--help" || name == "-h" || name == "help") {
        Usage(stdout);
        return ExitOk;
    }
    Args args;
    for (int i = 2; i < argc; ++i) args.words.push_back(Utf8(argv[i]));
    LocalFree(argv);
    for (const Command &command : Commands) {
        if (name != command.name) continue;
        if (TakeFlag(args, "--help") || TakeFlag(args, "-h")) {
            fputs(command.help, stdout);
            fputs(DriverOption, stdout);
            return ExitOk;
        }
        StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(OnConsoleStop, TRUE);
        int code = command.run(args);
        fflush(stdout);
        return code;
    }
    Fail("unknown command '%s'", name.c_str());
    Usage(stderr);
    return ExitUsage;
}
