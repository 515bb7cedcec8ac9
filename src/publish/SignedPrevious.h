// A release published unsigned on top of a signed one is refused by every
// updater that holds the key, so it is never made by accident.
#pragma once
#include "Publisher.h"

// Raises Exception when `o` signs nothing while its previous release is
// signed, unless `o.UnsignedOverSigned` says that is meant.
void CheckSigningKept(const TPublishOptions& o);
