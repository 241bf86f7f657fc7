// The launcher's delivery of assertion reports: each one goes to the gateway as
// MSG_EVENT_REPORT through the gateway client set here, and is dropped while there is none.
#pragma once

class BmServer;

// Installs the delivery as the assertion handler; called once at start-up. Never blocks.
void InstallAssertionReporter();
// The client reports go through (not owned; null: none). Set and cleared by the assembly.
void SetAssertionClient(BmServer* client);
