#pragma once
// The message numbers the whole program agrees on: WM_APP plus a fixed offset. The list's rows
// still hand their commands over by number (RowCommandSink::OnRowCommand); the posted events
// (core/AppEvent.h) keep theirs only as the name that log lines give them.
#include <cstdint>

enum AppMessageId : uint32_t {
    WM_APP = 0x8000,
    WM_APP_CHUNK_PROGRESS = WM_APP + 0x64,
    WM_APP_COMBINE_PROGRESS = WM_APP + 0x65,
    WM_APP_CHECK_PROGRESS = WM_APP + 0x66,
    WM_APP_FILE_PROGRESS_RESET = WM_APP + 0x67,
    WM_APP_ITEM_FINISHED = WM_APP + 0x69,
    WM_APP_ITEM_PAUSED = WM_APP + 0x6A,
    WM_APP_COMBINE_RESET = WM_APP + 0x6B,
    // A file's progress reset sent when a combine task begins.
    WM_APP_FILE_PROGRESS_RESET_ON_COMBINE = WM_APP + 0x6C,
    WM_APP_FILE_UNAVAILABLE = WM_APP + 0x6D,
    WM_APP_ITEM_FAILED = WM_APP + 0x6E,
    WM_APP_ITEM_RESUBMIT = WM_APP + 0x6F,
    WM_APP_ITEM_RELEASED = WM_APP + 0x70,
    WM_APP_CONNECTION_STATUS = WM_APP + 0x71,
    WM_APP_LINK_NEEDED = WM_APP + 0x72,
    WM_APP_LOCAL_DETAILS = WM_APP + 0xC8,
    WM_APP_TRAY_ICON = WM_APP + 0x22B,
    WM_APP_SPEED_SAMPLE = WM_APP + 0x232,
    WM_APP_REMOVE_ITEM = WM_APP + 0x29A,
    WM_APP_OPEN_LINK = WM_APP + 0x29B,
    WM_APP_RUN_INSTALLER = WM_APP + 0x29C,
    WM_APP_OPEN_GAME_CARD = WM_APP + 0x29D,
    WM_APP_RETRY_ITEM = WM_APP + 0x29E,
    WM_APP_PAUSE_BUTTON = WM_APP + 0x29F,
    WM_APP_ROW_TOGGLE = WM_APP + 0x2A0,
    WM_APP_INSTALLER_CHECKED = WM_APP + 0x2A1,
    WM_APP_INSTALLER_CHECK_PROGRESS = WM_APP + 0x2A2,
    WM_APP_USER_AUTHENTICATED = WM_APP + 0x379,
    WM_APP_AUTH_STARTED = WM_APP + 0x37A,
    WM_APP_AUTH_FAILED = WM_APP + 0x37B,
    WM_APP_GAME_DETAILS = WM_APP + 0x37C,
    WM_APP_FILE_LINK = WM_APP + 0x37D,
};
