// Decoding through Qt's image readers.
