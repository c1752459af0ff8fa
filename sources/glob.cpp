// placeholder: filled in by the stage that owns this file
