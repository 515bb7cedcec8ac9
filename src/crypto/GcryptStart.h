// libgcrypt is started once, before its first use, from any thread.
#pragma once

// Raises Exception when the library cannot start.
void StartGcrypt();
