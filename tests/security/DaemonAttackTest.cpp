// Placeholder: filled in by the change that hardens this side.
