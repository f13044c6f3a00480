// A library installed beside the launch test's executable: one of the application's own
// images, so its crash logs always list it, whether a frame points into it or not.
int crashes_launch_beside_answer(void) { return 42; }
