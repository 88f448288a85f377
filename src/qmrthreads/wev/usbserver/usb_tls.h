// The USB sessions' TLS: the TLS port's sessions run over the TLS layer.
#pragma once

// Lets the USB server open its TLS listeners and run their handshakes on the
// session tasks. Called once at start-up, after TLS was set up and before
// the server starts.
void useTlsForUsbSessions();
