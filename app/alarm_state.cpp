// The alarm application state.
