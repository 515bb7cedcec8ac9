// The plan and the files the release leaves to the player once installed
// (see release/PlayerOwned.h).
#pragma once
#include "UpdatePlan.h"

// A planned entry for one of the player's files stays only while the file
// is missing in `appFolder`; the others are logged and dropped.
void LeaveToThePlayer(const AnsiString& header, const AnsiString& appFolder, TUpdatePlan& plan);
