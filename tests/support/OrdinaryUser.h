#pragma once
// Root passes every permission check, so a test of a permission the user
// lacks proves nothing when the suite runs as root (as it does in CI).
#include <string>

// Called first in such a test. As root it runs this very test again in a
// child process as the ordinary user nobody (through setpriv), reports the
// child's result as this test's, and returns true: the caller returns. In an
// ordinary user's process (that child included) it returns false and the
// caller goes on with the test itself.
bool RanAsOrdinaryUser();
