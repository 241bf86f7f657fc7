// Sends one assertion report text to the gateway as MSG_EVENT_REPORT (request id 0, one wide
// string item) through `client`. Returns false, sending nothing, while `client` is null or a
// report is already being sent. Never blocks longer than one transport send.
#pragma once

class BmServer;
class BmString;

bool SendEventReport(BmServer* client, const BmString& text);
