// Reports ThreadSanitizer makes about libraries we do not build and cannot
// fix (they are not instrumented, so their own synchronisation is invisible
// to it): GDAL, loaded by OpenCV's image codecs, takes two of its mutexes in
// both orders on one thread; Qt, the window library's backend, hands objects
// between its threads through its own event queues, and so does GLib below it;
// Mesa's GLX is loaded by Qt while the window is created; OpenCV's thread pool
// (TBB) hands its work between threads in its own way, and so do FFmpeg's
// encoder and decoder threads behind OpenCV's video files; Debian's
// cpp-httplib is a compiled library whose request threads share its buffers.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libgdal.so\n"
           "race:libQt5Core.so\n"
           "race:libQt5Gui.so\n"
           "race:libQt5DBus.so\n"
           "race:libQt5Widgets.so\n"
           "race:libglib-2.0.so\n"
           "race:libQt5XcbQpa.so\n"
           "race:libGLX_mesa.so\n"
           "race:libtbb.so\n"
           "race:libavcodec.so\n"
           "race:libavutil.so\n"
           "race:libcpp-httplib.so\n";
}
