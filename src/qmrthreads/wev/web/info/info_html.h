// The frame every streamed /info page shares: a plain HTML page in the
// site's style with a bar of links to the other pages.
#pragma once

class HtmlStreamer;

// Writes the page head with title (the program's own text) and the links.
int writeInfoHead(HtmlStreamer& out, const char* title);
int writeInfoFoot(HtmlStreamer& out);
