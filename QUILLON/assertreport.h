// The launcher's delivery of assertion reports: each one goes to the gateway as
// MSG_EVENT_REPORT through the program-wide gateway client, and is dropped while there is none.
#pragma once

// Installs the delivery as the assertion handler; called once at start-up. Never blocks.
void InstallAssertionReporter();
