// The actions journal: R/var/log/hostsim-actions.log holds one line per change
// that the daemon asks of the stand-in host, "SECONDS VERB ARGS...", SECONDS
// being the wall clock of Clock_NowSeconds(). Tests and the tools read it to
// see what the daemon did to the host.
//
// Every call may be made from any thread; lines are appended with one write()
// on an O_APPEND descriptor, so they never interleave.
#pragma once

#include <string>

// The journal's file name under the current simulated root.
std::string ActionsJournal_Path(void);

// Renders `text` as one journal field: unchanged when it is non-empty and
// holds no blank, double quote, backslash or control character; otherwise
// between double quotes, with \" \\ \n \t and \xNN escapes. A field never
// contains a newline, so one change is always one line.
std::string ActionsJournal_Field(const std::string &text);
// The same, but always between double quotes (for free texts).
std::string ActionsJournal_Quoted(const std::string &text);

// Appends "SECONDS " + `line` + "\n". `line` is the verb and its fields, each
// already rendered with the two helpers above. Creates the directory on first
// use; a write failure is ignored (the journal is an observer, not a party).
void ActionsJournal_Append(const std::string &line);

// Shows every line appended from now on to `observer` as well, as written
// ("SECONDS VERB ARGS...\n"), once the write succeeded; nullptr stops it.
// With `only` set the lines go to the observer alone and the file is not
// touched. The observer runs on the appending thread with the journal's lock
// held, so it must not append itself. For a single-threaded reader (the
// replay tool) that would otherwise reread the file after every step.
void ActionsJournal_SetObserver(void (*observer)(void *ctx, const std::string &written), void *ctx,
                                bool only = false);
