#pragma once
// qvtools controller library: drive the command server qvmanip.exe (and the
// printer installer qvaddprinter.exe) inside a Wine prefix from C++17.
//
// Link qvtools::qvcontrol (find_package(qvtools)) or `pkg-config qvtools`.
//
// A session
//   qv::Session (session.h) is one resident server in one prefix. It starts
//   the server on the first request (Wine loader, WINEPREFIX, environment and
//   handshake timeout from SessionOptions), starts it again when the server
//   or the prefix's wineserver has died, and quit() ends it cleanly. Options
//   for an installed copy come from install.h:
//
//     qv::WindowsPrograms programs = qv::installed_programs();
//     qv::Session session(qv::session_options(programs, qv::default_prefix()));
//
//   With SessionOptions::agent.use the requests go through the prefix's
//   agent (agent.h; where it lives: agent_files.h), so that short-lived
//   programs share one resident server.
//
// Typed calls
//   Each takes a Session (or a bare Server), builds and escapes the request
//   and parses the answer:
//   - registry.h: list_key (values with type, bytes and text decoded, and
//     subkeys), get_value (one value, whatever the key's size),
//     set_dword/set_string/set_expand_string/set_multi_string/set_binary,
//     set_typed (any type number, exact bytes), delete_tree, delete_value;
//     views as a parameter.
//   - files.h: unix_path, windows_path, add_drive, remove_drive, find_files,
//     system_dir, windows_dir, expanded_string (well-known folders),
//     expand_text (%NAME% references in any text).
//   - printers.h: add_printers runs qvaddprinter.exe, place_ppd puts the
//     printer description into a prefix:
//       qv::place_ppd(prefix, programs.ppd);
//       qv::add_printers(qv::launch_options(programs, programs.qvaddprinter, prefix),
//                        {{"Office", "abc123"}});
//   - regfile.h, regtree.h: .reg text files read and written, and whole
//     trees exported and imported over one session.
//   - winver.h: the prefix's Windows version read and set as Wine's
//     configuration tool of the Wine at hand does (windows_version_tool()
//     holds every version it offers with its exact values), globally or
//     for one program.
//   - dlls.h: DLL overrides listed, read, set and removed, globally or for
//     one program; modes as DllMode or Wine's words, unknown ones refused.
//   - info.h: prefix_info gathers the Windows version, architecture, the
//     Wine that last updated the prefix, drive letters and main folders.
//
// Helpers every layer shares
//   - text.h: hex, readable bytes, UTF-8 checks, UTF-8 <-> UTF-16LE, the
//     ANSI code page, numbers read from digits, ASCII case folding.
//   - escape.h: the request escapes; host.h: whole files and environment
//     variables of this host.
//
// Batches
//   session.ask_all(requests) keeps many requests in flight and returns the
//   answers in order. Every typed call has a request builder and a parser
//   for this (list_key_request + parse_listing, unix_path_request +
//   parse_unix_path, ...), so a batch gives the same typed results:
//
//     std::vector<std::string> answers = session.ask_all(
//         {qv::list_key_request("HKCU\\Software"), qv::unix_path_request("C:\\windows")});
//     qv::Result<qv::RegKey> key = qv::parse_listing(answers[0]);
//     qv::Result<std::string> path = qv::parse_unix_path(answers[1]);
//
//   qv::Channel::ask_all does the same for calls that take a Channel
//   (pipelined through a Session, one by one through a bare Server); the
//   version change of winver.h is one such batch.
//
// How errors come back (failure.h)
//   Every call returns a qv::Result<T>: the value and, when something went
//   wrong, a qv::Failure{kind, code, message}. It tests true on success.
//   - kind server: the server refused with its own message ("error ...");
//   - kind win32: the platform answered a Win32 code (code; message in
//     words, see win32_words);
//   - kind refused: input the wire cannot carry (a raw LF, NUL, text that
//     is not UTF-8, ...), refused before anything is sent;
//   - kind incomplete: part of it was done, and the value holds that part
//     (a listing that ended early, a program stopped at its timeout).
//   failure->describe() gives the words with the code beside them.
//   Exceptions remain for what is not an answer:
//   - qv::ServerGone (from calls on a Session): the server died mid-call;
//     the call may or may not have been carried out, it is never sent
//     twice, and the next call starts a new server;
//   - qv::ProtocolError: an answer not in the command's format, a missing
//     handshake, a timeout (and a dead server, through a bare Server);
//   - std::runtime_error: the Wine loader cannot be run;
//   - qv::Refused (a std::invalid_argument): from the request builders,
//     for what the typed calls report as kind refused.
#include "qv/agent.h"
#include "qv/agent_files.h"
#include "qv/dlls.h"
#include "qv/escape.h"
#include "qv/failure.h"
#include "qv/files.h"
#include "qv/framing.h"
#include "qv/host.h"
#include "qv/info.h"
#include "qv/install.h"
#include "qv/printers.h"
#include "qv/process.h"
#include "qv/regfile.h"
#include "qv/registry.h"
#include "qv/regtree.h"
#include "qv/server.h"
#include "qv/session.h"
#include "qv/text.h"
#include "qv/wineconfig.h"
#include "qv/winver.h"
