// Sends one assertion report text to the gateway as MSG_EVENT_REPORT (request id 0, one wide
// string item) through the program-wide gateway client. Returns false, sending nothing, while no
// gateway client exists. Never blocks longer than one transport send.
#pragma once

class BmString;

bool SendEventReport(const BmString& text);
