<?php
// Sample PHP plugin: answers with what it was asked, as JSON.
$args = json_decode(stream_get_contents(STDIN), true);
echo json_encode(array("plugin" => "phpdemo", "php" => PHP_VERSION, "args" => $args));
