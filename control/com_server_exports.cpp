// libvelmora.so's own translation unit; the exports come from the server
// library, linked whole.
