#pragma once

// The simulated adapter's side of a pseudo-terminal. The slave side stays open
// in this process all the time, so the pty survives the host closing and
// reopening its end, and bytes written before the host opens it wait there.
struct sim_pty {
    int master = -1;      // non-blocking
    int slave = -1;       // never read; keeps the pty alive, tells how much is unread
    int open_watch = -1;  // inotify descriptor that sees the host open the slave (Linux), or -1
    char slave_path[128] = {};
};

bool pty_open(sim_pty* pty);
void pty_close_master(sim_pty* pty);
void pty_close(sim_pty* pty);

// Bytes written to the master that the host has not read yet.
int pty_unread(const sim_pty* pty);

// Waits until the host opens the slave side. Without a way to see that (not
// Linux), waits a short while instead. False when a stop was requested.
bool pty_wait_for_host(sim_pty* pty);

// Creates `link` as a symlink to `target`, replacing an existing symlink but
// no other kind of file.
bool link_create(const char* link, const char* target);
// Removes `link` if it still points to `target`.
void link_remove(const char* link, const char* target);
