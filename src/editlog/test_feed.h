// Feeds text to the edit-log reader as its standard input, for the tests.
#pragma once

#include <string>

void feed_editlog(const std::string& text);
