// The in-memory console.
