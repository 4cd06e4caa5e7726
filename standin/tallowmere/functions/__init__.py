"""Stand-in: function graph types."""
