#pragma once
// Named places where a test can have the process die, to see what a crash at that very moment
// leaves on disk and in the settings store. The environment variable VELKDOWNLOADER_CRASH_AT
// names one point, optionally with "@N" for its N-th pass (the first by default); the process
// then sends itself SIGKILL there, as a power cut or the kernel's OOM killer would end it.
// Without the variable, as in every normal run, a point only reads a flag set up once.
// Any thread.

// Points in use: "chunk-checked" (a chunk's digest matched, its partial file is not yet
// renamed), "file-joining" (a block of a file written to its working file),
// "chunk-joined" (a chunk's bytes in its file's working file for good, its chunk file not yet
// deleted), "join-flushed" (a working file flushed, its record not yet rewritten), "file-checked"
// (the joined file passed its check, not yet under its finished name), "chunks-deleting" (the first
// chunk file of a finished file deleted), "record-storing" (a download record written inside its
// transaction, not yet committed).
void CrashPoint(const char* name);
