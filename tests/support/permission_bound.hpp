#pragma once
// Tests of what a user meets when file permissions refuse (a folder that cannot be written, read
// or removed) mean nothing to the superuser, who passes over permission bits; CI runs as root.
// There such a test runs again in a launch of its executable that gave up, before anything else
// ran, the capabilities that pass over permissions: the same user, now bound by the bits like
// anyone else.
namespace gwtest {

// True where permission bits bind this process: an ordinary user, or a launch made below.
bool permissionsBind();

// The first statement of such a test: true when the test goes on in this process. Where
// permissions do not bind, runs the current test in a launch of this executable without those
// capabilities, makes its failures this test's (its output comes before this test's end), and
// answers false.
bool runWherePermissionsBind();

}  // namespace gwtest
