#pragma once
// What a removal "with its files" deletes: only the record's own files — each file's finished
// file, its verified and partial chunk files and a half-joined file — and then the folders that
// this leaves empty, up to but never including the record's folder (the downloads folder).
// Another game's files, and anything else in a shared folder, stay. Runs on the scheduler thread;
// no shared state.
#include <cstddef>

class DownloadInfo;

// Returns the number of files deleted. Files whose names would leave the record's folder are
// skipped; failures are logged and skipped.
size_t DeleteDownloadFiles(const DownloadInfo& record);
