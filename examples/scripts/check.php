<?php
// An examination script for the panel's PHP. The launcher passes the caller's arguments first and
// the panel password last.
$args = array_slice($argv, 1);
$password = array_pop($args);
echo "arguments: " . implode(" | ", $args) . "\n";
echo "password received: " . ($password === null || $password === "" ? "no" : "yes") . "\n";
exit(0);
